#include "platform/shell/XdgOpenLauncher.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/core/LastError.h"

extern char** environ;

namespace qrv::platform {

XdgOpenLauncher::XdgOpenLauncher(std::string program) : m_program(std::move(program)) {}

bool XdgOpenLauncher::Open(const std::string& file, const std::string& folder) {
  LastError::Clear();
  // The file goes over as an absolute path: a relative name beginning with
  // '-' would be read as an option by the opener.
  if (file.empty() || file[0] != '/') {
    LastError::Set("cannot open \"" + file + "\": not an absolute path");
    return false;
  }
  return Spawn(file, folder, "open \"" + file + "\" in \"" + folder + "\"");
}

bool XdgOpenLauncher::OpenAddress(const std::string& address) {
  LastError::Clear();
  const bool web = address.rfind("https://", 0) == 0 || address.rfind("http://", 0) == 0;
  const bool plain = std::none_of(address.begin(), address.end(),
                                  [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; });
  if (!web || !plain) {
    LastError::Set("cannot show \"" + address + "\": not a web address");
    return false;
  }
  return Spawn(address, "/", "show " + address);
}

bool XdgOpenLauncher::Spawn(const std::string& target, const std::string& folder, const std::string& what) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // our signal mask and dispositions are the updater's business, not the opened program's
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::string program = m_program;
  std::string argument = target;
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    LastError::Set("cannot start " + m_program + " to " + what + ": " + std::strerror(rc));
    return false;
  }
  m_lastChild = pid;
  // Reap the child whenever it ends; nobody waits for its result.
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

}  // namespace qrv::platform
