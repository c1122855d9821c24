#pragma once

#include <memory>

namespace qrv::platform {

// Restarting the computer, behind an interface so that nothing but the
// installed program ever does it for real.
//
// The process-wide restart is a RestartRecorder until the program installs
// the real one (SystemctlRestart) at start-up; tests, the demo and any
// program that forgets to choose therefore never restart the machine.
//
// Thread: Install() belongs to start-up (or a test) while no other thread
// restarts; RestartNow() may be called from any thread.
class SystemRestart {
 public:
  virtual ~SystemRestart() = default;

  // Starts the restart. True when it was started (the machine is going
  // down), false when it was refused, with the reason in LastError.
  virtual bool Restart() = 0;

  // Makes restart the process-wide one (nullptr restores a fresh recorder)
  // and returns the previous one.
  static std::unique_ptr<SystemRestart> Install(std::unique_ptr<SystemRestart> restart);

  // Restart() of the installed one.
  static bool RestartNow();
};

}  // namespace qrv::platform
