#pragma once

#include <string>
#include <string_view>

namespace qrv::platform {

// One of the two marks of a running update window in the user's session:
// kAutomatic while an automatic run's window lives, kInteractive while the
// interactive window lives. Start-up asks whether another process holds one
// (IsHeldElsewhere) to hand the start over to the running window instead of
// opening a second one.
//
// The mark is an flock on <runtime folder>/<name>.lock, held for the life of
// the holder: the kernel drops it however the holder ends, so a file left by
// a killed process never blocks. The runtime folder (RuntimeFolder) is per
// user: <root>/run/user/<uid>/qrvupdate in a sandbox root (so two sandboxes
// never see each other's marks), else $XDG_RUNTIME_DIR/qrvupdate when that
// is an absolute path, else <$TMPDIR or /tmp>/qrvupdate-<uid>; it is made
// private (0700, PrivateFolder) and a folder someone else could change is
// refused, never used.
//
// IsHeldElsewhere looks with a shared lock taken and dropped at once, so two
// processes looking at the same moment never see each other; Take() allows
// for such a look by retrying for up to kLookGraceMs before it calls the
// mark busy (a real holder keeps it for its whole run).
//
// Thread: one thread per object; the lock belongs to the process and is not
// inherited by programs it starts. Destruction releases it.
class InstanceLock {
 public:
  static constexpr std::string_view kAutomatic = "MutexToProtectQrvUpdateAuto";
  static constexpr std::string_view kInteractive = "MutexToProtectQrvUpdateUser";
  static constexpr int kLookGraceMs = 250;

  enum class Outcome {
    kTaken,   // this object holds the mark now
    kBusy,    // another live holder has it
    kFailed,  // the runtime folder or the file cannot be used (see Error())
  };

  explicit InstanceLock(std::string_view name);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the mark without waiting for a holder. Again while held: kTaken,
  // nothing changes.
  Outcome Take();
  bool Held() const { return m_fd >= 0; }
  // Why the last Take() did not take it, naming the file; empty after kTaken.
  const std::string& Error() const { return m_error; }
  const std::string& Name() const { return m_name; }

  // Whether another holder (another process, or another object of this one)
  // has the mark name. A missing file is no holder. false with error set
  // when it cannot be told (the caller then goes on as if free).
  static bool IsHeldElsewhere(std::string_view name, std::string& error);

  // The runtime folder for the root and the environment in force, made
  // private when missing; false with error telling why it cannot be used.
  static bool RuntimeFolder(std::string& folder, std::string& error);
  // <runtime folder>/<name>.lock (the folder not made).
  static std::string Path(std::string_view name);

 private:
  std::string m_name;
  int m_fd = -1;
  std::string m_error;
};

}  // namespace qrv::platform
