#pragma once

#include <sys/types.h>

#include <string>

namespace qrv::platform {

// One update run at a time per system root. Two runs on one root would
// download into the same folder, replace the same files and write the same
// state codes, each undoing the other's work.
//
// The lock is an flock on <root>/var/lib/qrvupdate/run.lock: the kernel
// drops it when the holder ends, however it ends (a crash or kill -9 leaves
// no stale lock behind), so a lock that is held always has a live holder.
// The holder writes its pid into the file for the refusal message; the file
// itself is never removed. Its folder is made private (0700) when missing,
// and a folder others may write to, or a link in place of the file, is
// refused rather than used.
//
// Thread: Take() on one thread; the lock belongs to the process and is not
// inherited by programs it starts. Destruction releases it.
class RunLock {
 public:
  enum class Outcome {
    kTaken,   // this process holds the lock now
    kBusy,    // another live process holds it (see Holder())
    kFailed,  // the lock file cannot be made or opened (see Error())
  };

  RunLock() = default;
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Takes the lock without waiting. Calling it again while held returns
  // kTaken and changes nothing.
  Outcome Take();

  // The pid the holder wrote (kBusy), or 0 when it could not be read.
  pid_t Holder() const { return m_holder; }
  // Why the lock was not taken, naming the lock file: "process PID holds
  // the run lock FILE" (kBusy; "another process" when no pid could be read)
  // or "cannot take the run lock FILE: REASON" (kFailed). Empty after kTaken.
  const std::string& Error() const { return m_error; }

  // <root>/var/lib/qrvupdate/run.lock for the root in force.
  static std::string Path();

 private:
  int m_fd = -1;
  pid_t m_holder = 0;
  std::string m_error;
};

}  // namespace qrv::platform
