#include "tests/support/DiagnosticsRecorder.h"

#include <algorithm>

namespace qrv::test {

DiagnosticsRecorder::DiagnosticsRecorder() {
  m_previous = platform::Diagnostics::SetSink([this](std::string_view message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.emplace_back(message);
  });
}

DiagnosticsRecorder::~DiagnosticsRecorder() { platform::Diagnostics::SetSink(m_previous); }

bool DiagnosticsRecorder::Has(const std::string& part) const { return HasTogether({part}); }

bool DiagnosticsRecorder::HasTogether(const std::vector<std::string>& parts) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return std::any_of(m_messages.begin(), m_messages.end(), [&](const std::string& message) {
    return std::all_of(parts.begin(), parts.end(),
                       [&](const std::string& part) { return message.find(part) != std::string::npos; });
  });
}

size_t DiagnosticsRecorder::Count() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_messages.size();
}

std::string DiagnosticsRecorder::Text() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string all;
  for (const std::string& message : m_messages) all += message + "\n";
  return all;
}

void DiagnosticsRecorder::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_messages.clear();
}

}  // namespace qrv::test
