#pragma once

#include <functional>

namespace qrv::platform {

// What a thread does to keep its own events flowing while it waits for a
// worker: the Qt front-end installs its event processing, the console
// front-end its signal handling; the core and the tests install nothing.
//
// Thread: the hook belongs to the thread that sets it; each thread has its own.
class EventPump {
 public:
  using Hook = std::function<void()>;

  // Installs the calling thread's hook (empty: none) and returns the previous one.
  static Hook SetThreadHook(Hook hook);
  // Runs the calling thread's hook once, if it has one.
  static void Pump();
};

}  // namespace qrv::platform
