#include "app/console/ConsoleMessageService.h"

#include <unistd.h>

#include <string>

#include "platform/core/DisplayText.h"
#include "res/CQUpdateStrings.h"

namespace qrv {

namespace {
constexpr uint32_t kAppTitle = 57344;
}

ConsoleMessageService::ConsoleMessageService(bool assumeYes, std::FILE* out, std::FILE* in)
    : m_assumeYes(assumeYes), m_out(out), m_in(in) {}

std::string ConsoleMessageService::Flatten(const std::string& text) {
  std::string flat;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    flat += (text[i] == '\r' || text[i] == '\n') ? ' ' : text[i];
  }
  return flat;
}

std::string ConsoleMessageService::Format(uint32_t stringId, const std::string& argument) {
  std::string text = CQUpdateStrings::Get(stringId);
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, platform::DisplayText::Escape(argument));
  return text;
}

int ConsoleMessageService::Show(uint32_t stringId, uint32_t buttons) {
  return Ask(stringId, CQUpdateStrings::Get(stringId), buttons);
}

int ConsoleMessageService::ShowWith(uint32_t stringId, const std::string& argument, uint32_t buttons) {
  return Ask(stringId, Format(stringId, argument), buttons);
}

int ConsoleMessageService::Ask(uint32_t stringId, std::string text, uint32_t buttons) {
  if (text.empty()) text = "message " + std::to_string(stringId);
  const bool question = buttons == kOkCancel || buttons == kYesNo;
  const int yes = buttons == kYesNo ? kAnswerYes : kAnswerOk;
  const int no = buttons == kYesNo ? kAnswerNo : kAnswerCancel;
  std::fprintf(m_out, "%s: %s", CQUpdateStrings::Get(kAppTitle).c_str(), Flatten(text).c_str());
  if (!question) {
    std::fputc('\n', m_out);
    std::fflush(m_out);
    return kAnswerOk;
  }
  const int safe = stringId == kRestartQuestion ? no : yes;
  // A question nobody can answer (a cron job, a pipe) must not block.
  if (m_assumeYes || m_in == nullptr || isatty(fileno(m_in)) == 0) {
    std::fprintf(m_out, " [y/n] %s\n", safe == yes ? "y" : "n");
    std::fflush(m_out);
    return safe;
  }
  std::fputs(" [y/n] ", m_out);
  std::fflush(m_out);
  char line[64] = {};
  if (std::fgets(line, sizeof line, m_in) == nullptr) return safe;
  const std::string answer(line);
  return (answer.rfind('y', 0) == 0 || answer.rfind('Y', 0) == 0) ? yes : no;
}

}  // namespace qrv
