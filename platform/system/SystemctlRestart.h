#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/system/SystemRestart.h"

namespace qrv::platform {

// The real restart: runs "systemctl reboot" (found through PATH) without a
// shell and reports whether it succeeded. Only the installed program selects
// it, with SystemRestart::Install(std::make_unique<SystemctlRestart>()).
//
// The command can be replaced so the spawning itself is tested with harmless
// programs; nothing else ever passes a command.
//
// Thread: any; Restart() blocks until the command ends.
class SystemctlRestart : public SystemRestart {
 public:
  SystemctlRestart() : m_command{"systemctl", "reboot"} {}
  explicit SystemctlRestart(std::vector<std::string> command) : m_command(std::move(command)) {}

  // True when the command ran and exited with 0; false, with the command, its
  // exit status or the spawn error in LastError, otherwise.
  bool Restart() override;

 private:
  std::vector<std::string> m_command;  // program, then arguments
};

}  // namespace qrv::platform
