#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/core/Diagnostics.h"

namespace qrv::test {

// Keeps every message sent to platform::Diagnostics while it lives, so a
// test can ask what an administrator would have been told. Construction
// installs it as the sink; destruction puts the previous sink back.
//
// Thread: create and destroy on the test's main thread, and not while
// another recorder made later still lives. Messages may come from any
// thread; the queries take a lock and see what has come so far.
class DiagnosticsRecorder {
 public:
  DiagnosticsRecorder();
  ~DiagnosticsRecorder();
  DiagnosticsRecorder(const DiagnosticsRecorder&) = delete;
  DiagnosticsRecorder& operator=(const DiagnosticsRecorder&) = delete;

  // Whether one message holds part.
  bool Has(const std::string& part) const;
  // Whether one message holds all of parts.
  bool HasTogether(const std::vector<std::string>& parts) const;
  // How many messages came so far.
  size_t Count() const;
  // Every message, each on its own line: the text for a failed check.
  std::string Text() const;
  // Forgets what came so far; the recorder stays installed.
  void Clear();

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_messages;
  platform::Diagnostics::Sink m_previous;
};

}  // namespace qrv::test
