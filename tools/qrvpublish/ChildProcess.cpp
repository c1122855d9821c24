#include "tools/qrvpublish/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace qrv::tools {

int ChildProcess::Run(const std::vector<std::string>& args, const std::string& input, std::string& output) {
  output.clear();
  if (args.empty()) return -1;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    output = std::string("cannot make a pipe: ") + std::strerror(errno);
    return -1;
  }
  if (pipe2(out, O_CLOEXEC) != 0) {
    output = std::string("cannot make a pipe: ") + std::strerror(errno);
    close(in[0]);
    close(in[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (spawned != 0) {
    close(in[1]);
    close(out[0]);
    output = "cannot start " + args[0] + ": " + std::strerror(spawned);
    return -1;
  }
  // The input is small (a pass phrase); a child that never reads it must
  // not block us, so write what the pipe takes and read output meanwhile.
  size_t written = 0;
  bool inOpen = true;
  if (input.empty()) {
    close(in[1]);
    inOpen = false;
  } else {
    fcntl(in[1], F_SETFL, O_NONBLOCK);
  }
  char buffer[4096];
  for (;;) {
    pollfd fds[2] = {{out[0], POLLIN, 0}, {inOpen ? in[1] : -1, POLLOUT, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (inOpen && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = write(in[1], input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
      if (written >= input.size()) {
        close(in[1]);
        inOpen = false;
      }
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = read(out[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      output.append(buffer, static_cast<size_t>(n));
    }
  }
  if (inOpen) close(in[1]);
  close(out[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace qrv::tools
