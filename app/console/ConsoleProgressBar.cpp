#include "app/console/ConsoleProgressBar.h"

#include <algorithm>

#include "platform/core/DisplayText.h"

namespace qrv {

ConsoleProgressBar::ConsoleProgressBar(std::FILE* out, bool redrawInPlace) : m_out(out), m_inPlace(redrawInPlace) {}

ConsoleProgressBar::~ConsoleProgressBar() { Finish(); }

void ConsoleProgressBar::SetRange(int32_t low, int32_t high) {
  m_low = low;
  m_high = high;
  m_pos = std::clamp(m_pos, low, std::max(low, high));
}

void ConsoleProgressBar::StepIt() {
  // The range counts files; the step a window sizes for its pixels says
  // nothing on a terminal, where one step is one file done. The bar stops
  // full rather than starting over, as more reports than files may come.
  m_pos = std::min(m_pos + 1, std::max(m_low, m_high));
  Draw(false);
}

void ConsoleProgressBar::SetPos(int32_t pos) {
  m_pos = std::clamp(pos, m_low, std::max(m_low, m_high));
  Draw(false, true);
}

void ConsoleProgressBar::SetText(const std::string& text) {
  const bool changed = text != m_text;
  m_text = text;
  Draw(changed);
}

void ConsoleProgressBar::Finish() {
  if (m_open) std::fputc('\n', m_out);
  m_open = false;
  std::fflush(m_out);
}

std::string ConsoleProgressBar::Render(int32_t low, int32_t high, int32_t pos, const std::string& text) {
  int64_t percent = 0;
  if (high > low) {
    const int64_t clamped = std::clamp<int64_t>(pos, low, high);
    percent = (clamped - low) * 100 / (static_cast<int64_t>(high) - low);
  }
  const auto filled = static_cast<size_t>(percent * kBarChars / 100);
  std::string line = "[" + std::string(filled, '#') + std::string(static_cast<size_t>(kBarChars) - filled, '-') + "] ";
  const std::string number = std::to_string(percent);
  // The text names a server's file: whatever the caller did, no control
  // character of it reaches the terminal (escaping escaped text changes
  // nothing).
  line += std::string(3 - std::min<size_t>(3, number.size()), ' ') + number + "% " +
          platform::DisplayText::Escape(text);
  return line;
}

void ConsoleProgressBar::Draw(bool newText, bool moved) {
  const std::string line = Render(m_low, m_high, m_pos, m_text);
  if (m_inPlace) {
    std::fprintf(m_out, "\r\033[K%s", line.c_str());
    m_open = true;
  } else {
    // A log gets a line per new text, and one more when a phase ends with
    // the bar moved to its end, so it never ends part-way. Steps that fill
    // the bar early add no line: the text they would repeat is stale.
    const bool full = m_pos >= m_high;
    if (newText || (moved && full && !m_shownFull)) {
      std::fprintf(m_out, "%s\n", line.c_str());
      m_shownFull = full;
    }
  }
  std::fflush(m_out);
}

}  // namespace qrv
