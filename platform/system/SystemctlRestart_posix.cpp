#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

#include "platform/core/LastError.h"
#include "platform/system/SystemctlRestart.h"

extern char** environ;

namespace qrv::platform {

bool SystemctlRestart::Restart() {
  if (m_command.empty()) {
    LastError::Set("no restart command");
    return false;
  }
  std::string shown;
  std::vector<char*> argv;
  for (std::string& arg : m_command) {
    argv.push_back(arg.data());
    shown += (shown.empty() ? "" : " ") + arg;
  }
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    LastError::Set("cannot run " + shown + ": " + std::strerror(rc));
    return false;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      LastError::Set("cannot wait for " + shown + ": " + std::strerror(errno));
      return false;
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  // systemctl refuses (exit 1) when the user may not restart the machine.
  LastError::Set(shown + (WIFEXITED(status) ? " exited with " + std::to_string(WEXITSTATUS(status))
                                            : " was ended by signal " + std::to_string(WTERMSIG(status))));
  return false;
}

}  // namespace qrv::platform
