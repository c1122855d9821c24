#pragma once

#include <atomic>

#include "platform/system/SystemRestart.h"

namespace qrv::platform {

// A restart that only counts how often it was asked and answers as told
// (started by default). The default restart of every process, and what tests
// and the demo install to see that a restart was asked for.
//
// Thread: any.
class RestartRecorder : public SystemRestart {
 public:
  explicit RestartRecorder(bool answer = true) : m_answer(answer) {}

  bool Restart() override;

  int Calls() const { return m_calls.load(); }
  void SetAnswer(bool answer) { m_answer.store(answer); }

 private:
  std::atomic<bool> m_answer;
  std::atomic<int> m_calls{0};
};

}  // namespace qrv::platform
