#include "tests/support/DemoTreeServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

namespace qrv::test {

namespace {

using Clock = std::chrono::steady_clock;

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Reads one line from fd until '\n', end of file or the deadline.
bool ReadLine(int fd, std::string& line, Clock::time_point deadline) {
  line.clear();
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    int ready = poll(&p, 1, static_cast<int>(left > 0 ? left : 0));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char c = 0;
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    line += c;
  }
  return false;
}

}  // namespace

DemoTreeServer::DemoTreeServer(const std::filesystem::path& script, const std::filesystem::path& folder,
                               const std::filesystem::path& log) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    m_error = Errno("cannot make a pipe for " + script.string());
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string python = "/usr/bin/python3";
  std::vector<std::string> args{python, script.string(), folder.string(), "0"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, python.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    m_error = "cannot start " + python + " " + script.string() + ": " + std::strerror(rc);
    return;
  }
  m_pid = pid;

  // The port line is the server's promise that it listens already, so no
  // request can race its start-up.
  std::string line;
  const bool got = ReadLine(out[0], line, Clock::now() + std::chrono::seconds(10));
  close(out[0]);
  int port = 0;
  if (got) {
    try {
      port = std::stoi(line);
    } catch (...) {
      port = 0;
    }
  }
  if (port <= 0 || port > 65535) {
    m_error = got ? "the server printed \"" + line + "\" instead of its port (log: " + log.string() + ")"
                  : "the server printed no port within 10 s (log: " + log.string() + ")";
    Stop();
    return;
  }
  m_port = port;
}

DemoTreeServer::~DemoTreeServer() { Stop(); }

std::string DemoTreeServer::ServiceUrl() const {
  return "http://127.0.0.1:" + std::to_string(m_port) + "/AUpdate70.jsp";
}

int DemoTreeServer::Stop() {
  if (m_pid <= 0) return -1;
  // Only the child this object started is signalled, by its id.
  kill(m_pid, SIGTERM);
  int status = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  pid_t done = 0;
  while ((done = waitpid(m_pid, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, &status, 0);
  }
  m_pid = -1;
  return status;
}

int DemoTreeGet(int port, const std::string& target, std::string& body, std::string& error) {
  body.clear();
  error.clear();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = Errno("cannot make a socket");
    return -1;
  }
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error = Errno("cannot connect to 127.0.0.1:" + std::to_string(port));
    close(fd);
    return -1;
  }
  // HTTP/1.0 without keep-alive: the server closes after the reply, so the
  // end of the stream is the end of the body.
  const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    error = Errno("cannot send to 127.0.0.1:" + std::to_string(port));
    close(fd);
    return -1;
  }
  std::string reply;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<size_t>(n));
  close(fd);
  int status = -1;
  if (reply.rfind("HTTP/1.", 0) == 0 && reply.size() >= 12) status = std::atoi(reply.c_str() + 9);
  const size_t head = reply.find("\r\n\r\n");
  if (head != std::string::npos) body = reply.substr(head + 4);
  if (status < 0) error = "no HTTP status line from 127.0.0.1:" + std::to_string(port) + " for " + target;
  return status;
}

}  // namespace qrv::test
