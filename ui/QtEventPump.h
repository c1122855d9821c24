#pragma once

#include <chrono>

#include "platform/thread/EventPump.h"

namespace qrv {

// Keeps a window alive while a phase of the run waits for its worker: for as
// long as it lives, the calling thread's event-pump hook processes the
// thread's pending Qt events (clicks, Escape, paints, window moves) and the
// worker wait pumps every kInterval, short enough that nobody sees the window
// stall. Destruction puts back the hook and interval that were in force.
//
// Construct and destroy on the user-interface thread (the hook belongs to the
// thread that sets it), after the QApplication exists. A handler run from the
// pump may open a message box (a nested event loop); the worker goes on
// meanwhile.
class QtEventPump {
 public:
  static constexpr std::chrono::milliseconds kInterval{15};

  QtEventPump();
  ~QtEventPump();
  QtEventPump(const QtEventPump&) = delete;
  QtEventPump& operator=(const QtEventPump&) = delete;

 private:
  platform::EventPump::Hook m_previousHook;
  std::chrono::milliseconds m_previousInterval;
};

}  // namespace qrv
