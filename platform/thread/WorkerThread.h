#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace qrv::platform {

// Runs one piece of work on a new thread while the calling thread keeps
// servicing its events (EventPump) until the work ends.
//
// Thread: call from the thread whose events must keep flowing (the user
// interface thread); the work runs on a thread of its own. The work must not
// touch what the caller's event hook changes without its own care; the
// caller's objects it reads stay alive because the call waits.
class WorkerThread {
 public:
  // Starts work and returns its exit code as soon as it ends (not at the next
  // multiple of the interval). Meanwhile the calling thread's event pump runs
  // at least once per interval (0: the thread's EventPump::ThreadInterval), and once more when the work has ended, so
  // short work never hides an event from the caller. Work that throws ends with exit code 0; a
  // thread that cannot be started gives 0 without running the work. The
  // worker's LastError text becomes the caller's, so the reason a worker
  // failed can be reported by the thread that waited for it.
  static uint32_t Run(const std::function<uint32_t()>& work, std::chrono::milliseconds pumpInterval = std::chrono::milliseconds{0});
};

}  // namespace qrv::platform
