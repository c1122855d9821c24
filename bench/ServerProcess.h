#pragma once

// A loopback HTTP server of the test support in a child process of its own,
// so that the process being measured shares no threads or allocator with it.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/HttpTestServer.h"

namespace qrv::bench {

// The update-service address of the server on port.
inline std::string ServiceUrl(int port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/svc/AUpdate70.jsp";
}

// Serves tree in a child process that dies with this one; returns its pid
// (-1 when it could not be made) and its port through `port` (0 when the
// server did not start). The caller kills and reaps it.
inline pid_t StartServer(const std::filesystem::path& tree, int& port) {
  int fds[2];
  port = 0;
  if (pipe(fds) != 0) return -1;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    close(fds[0]);
    qrv::test::HttpTestServer server(tree);
    const int p = server.Port();
    if (write(fds[1], &p, sizeof p) != static_cast<ssize_t>(sizeof p)) _exit(1);
    close(fds[1]);
    for (;;) pause();
  }
  close(fds[1]);
  if (pid < 0 || read(fds[0], &port, sizeof port) != static_cast<ssize_t>(sizeof port)) port = 0;
  close(fds[0]);
  return pid;
}

}  // namespace qrv::bench
