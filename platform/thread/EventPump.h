#pragma once

#include <chrono>
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
  // How long the calling thread may wait between two pumps while a worker
  // runs: 100 ms unless set. A window sets less, so that it never stalls long
  // enough for a person to notice; 0 or less restores the default.
  static void SetThreadInterval(std::chrono::milliseconds interval);
  static std::chrono::milliseconds ThreadInterval();
};

}  // namespace qrv::platform
