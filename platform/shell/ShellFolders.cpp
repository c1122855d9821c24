#include "platform/shell/ShellFolders.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/core/LastError.h"
#include "platform/core/SystemRoot.h"

extern char** environ;

namespace qrv::platform {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::string TrimRight(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) {
    text.pop_back();
  }
  return text;
}

// Runs `helper DESKTOP` and returns its first line; empty when it cannot be
// started, fails, or takes too long (a helper that hangs must not hang the
// update, so it gets two seconds).
std::string AskHelper(const std::string& helper) {
  if (helper.empty()) return {};
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string program = helper;
  std::string word = "DESKTOP";
  char* argv[] = {program.data(), word.data(), nullptr};
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return {};
  }

  /* read until end of output or the deadline */
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  bool timedOut = false;
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    pollfd fd{out[0], POLLIN, 0};
    int ready = poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timedOut = ready == 0;
      break;
    }
    ssize_t got = read(out[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (text.size() < 65536) text.append(buf, static_cast<size_t>(got));
  }
  close(out[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  size_t eol = text.find('\n');
  return TrimRight(eol == std::string::npos ? text : text.substr(0, eol));
}

// XDG_DESKTOP_DIR from user-dirs.dirs: a line XDG_DESKTOP_DIR="$HOME/path" or
// XDG_DESKTOP_DIR="/absolute/path", backslash escapes inside the quotes.
std::string ReadUserDirs(const std::string& home) {
  std::string config = Env("XDG_CONFIG_HOME");
  if (config.empty() || config[0] != '/') {
    if (home.empty()) return {};
    config = home + "/.config";
  }
  std::ifstream in(config + "/user-dirs.dirs");
  std::string line;
  std::string found;
  while (std::getline(in, line)) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    static constexpr std::string_view kKey = "XDG_DESKTOP_DIR=";
    if (line.compare(start, kKey.size(), kKey) != 0) continue;
    std::string raw = TrimRight(line.substr(start + kKey.size()));
    if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"') continue;
    std::string value;
    for (size_t i = 1; i + 1 < raw.size(); ++i) {
      if (raw[i] == '\\' && i + 2 < raw.size()) ++i;
      value += raw[i];
    }
    if (value == "$HOME" || value.rfind("$HOME/", 0) == 0) {
      if (home.empty()) continue;
      value = home + value.substr(5);
    }
    // like the shell that sources this file, a later line wins
    if (!value.empty() && value[0] == '/') found = value;
  }
  while (found.size() > 1 && found.back() == '/') found.pop_back();
  return found;
}

}  // namespace

bool ShellFolders::Folder(uint32_t code, std::string& folder) {
  switch (code) {
    case kProgramsMenu:
    case kStartMenu: folder = ApplicationsFolder(); break;
    case kDesktop: folder = DesktopFolder(); break;
    default: folder.clear();
  }
  if (folder.empty()) {
    LastError::Set(code <= kStartMenu ? "the desktop folder of the user running the updater is not known ($HOME is not set)"
                                      : "shell folder code " + std::to_string(code) + " selects no folder (known: 0, 1, 2)");
    return false;
  }
  return true;
}

std::string ShellFolders::ApplicationsFolder() {
  return SystemRoot::Resolve("usr/local/share/applications").string();
}

std::string ShellFolders::DesktopFolder(const std::string& helper) {
  std::string desktop = UserDesktopPath(helper);
  if (desktop.empty()) return {};
  std::string folder = SystemRoot::Resolve(desktop).string();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

std::string ShellFolders::UserDesktopPath(const std::string& helper) {
  std::string home = Env("HOME");
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (!home.empty() && home[0] != '/') home.clear();

  std::string asked = AskHelper(helper);
  if (!asked.empty() && asked[0] == '/') {
    while (asked.size() > 1 && asked.back() == '/') asked.pop_back();
    return asked;
  }
  std::string configured = ReadUserDirs(home);
  if (!configured.empty()) return configured;
  return home.empty() ? std::string() : home + "/Desktop";
}

}  // namespace qrv::platform
