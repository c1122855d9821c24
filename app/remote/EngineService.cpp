#include "app/remote/EngineService.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/remote/EngineSession.h"
#include "app/remote/RemoteChannel.h"
#include "app/remote/RemoteValues.h"
#include "platform/core/Diagnostics.h"
#include "platform/system/PeerCredentials.h"

namespace qrv::remote {

namespace {

// How long a window may take to greet before it is hung up on.
constexpr std::chrono::milliseconds kHelloWithin{10000};
// How long a connection that is only answered may take to greet.
constexpr std::chrono::milliseconds kAnswerWithin{1000};
// Connections answered at once beside the acceptor; more are closed unanswered.
constexpr int kMaxAnswering = 16;
// The first descriptor systemd hands over.
constexpr int kListenFdsStart = 3;

std::atomic<bool> g_stopRequested{false};
// The write end of the running service's stop pipe, for RequestStop.
std::atomic<int> g_stopFd{-1};

}  // namespace

void EngineService::RequestStop() {
  g_stopRequested.store(true);
  const int fd = g_stopFd.load();
  const char stop = 1;
  if (fd >= 0) static_cast<void>(write(fd, &stop, 1));
}

bool EngineService::StopRequested() { return g_stopRequested.load(); }

int EngineService::ActivatedSocket() {
  // Ours only when systemd meant this process (LISTEN_PID), and exactly one.
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  if (pid == nullptr || fds == nullptr) return -1;
  if (std::strtol(pid, nullptr, 10) != static_cast<long>(getpid()) || std::strtol(fds, nullptr, 10) != 1) return -1;
  // The children of this process must not take it for theirs.
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  int type = 0;
  socklen_t length = sizeof type;
  if (getsockopt(kListenFdsStart, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) return -1;
  return kListenFdsStart;
}

EngineService::~EngineService() {
  if (m_listen >= 0) close(m_listen);
}

bool EngineService::Listen(const std::string& path, std::string& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    error = "the socket path " + path + " is empty or longer than " + std::to_string(sizeof address.sun_path - 1) +
            " bytes";
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("cannot make a socket: ") + std::strerror(errno);
    return false;
  }
  // A socket file left by a service that died is replaced; anything else
  // at that name is not ours to remove.
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = "cannot listen at " + path + ": something that is no socket is there";
      close(fd);
      return false;
    }
    unlink(path.c_str());
  }
  // Everyone may connect: who is served is decided per connection.
  const mode_t previous = umask(0);
  const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bindErrno = errno;
  umask(previous);
  if (bound != 0 || listen(fd, 16) != 0) {
    error = "cannot listen at " + path + ": " + std::strerror(bound != 0 ? bindErrno : errno);
    close(fd);
    return false;
  }
  m_listen = fd;
  m_path = path;
  return true;
}

void EngineService::Answer(int fd, int answer, const std::string& why) {
  // A peer that neither reads nor greets gets no more than a moment.
  const timeval limit{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  RemoteChannel channel(fd);
  bool greeted = false;
  channel.SetDispatcher([&](const Message& call, Message& reply) {
    if (call.method() != HELLO) {
      reply.set_error("a session begins with its greeting");
      return;
    }
    RemoteValues::AddNumber(*reply.mutable_values(), answer);
    reply.set_error(why);
    greeted = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + kAnswerWithin;
  while (!greeted && std::chrono::steady_clock::now() < deadline && channel.ServeFor(std::chrono::milliseconds{50})) {
  }
}

void EngineService::AnswerAside(int fd, int answer, const std::string& why) {
  // Answering waits for the greeting; that must never hold up the windows
  // that are served, so it happens beside the acceptor, a few at a time.
  if (m_answering.fetch_add(1) >= kMaxAnswering) {
    m_answering.fetch_sub(1);
    close(fd);
    return;
  }
  std::thread([this, fd, answer, why] {
    Answer(fd, answer, why);
    m_answering.fetch_sub(1);
  }).detach();
}

void EngineService::AcceptLoop() {
  while (!m_stopping.load()) {
    // Waits for a connection or the stop; the listening socket itself is
    // left alone, since under socket activation it is systemd's too.
    pollfd waits[2] = {{m_listen, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
    if (poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      platform::Diagnostics::Report(std::string("engine: cannot wait for connections: ") + std::strerror(errno));
      return;
    }
    if (waits[1].revents != 0 || m_stopping.load()) {
      // Wakes Run when the stop came from a signal.
      std::lock_guard lock(m_mutex);
      m_arrived.notify_all();
      return;
    }
    if ((waits[0].revents & POLLIN) == 0) continue;
    const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) continue;
      platform::Diagnostics::Report(std::string("engine: cannot take a connection: ") + std::strerror(errno));
      return;
    }
    // The connection itself blocks (the listening socket does not).
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    platform::PeerCredentials peer;
    std::string error;
    if (!platform::PeerCredentials::Of(fd, peer, error)) {
      platform::Diagnostics::Report("engine: " + error + "; the connection is closed");
      close(fd);
      continue;
    }
    if (!peer.IsAdministrator()) {
      platform::Diagnostics::Report("engine: refused user " + std::to_string(peer.uid) + " (process " +
                                    std::to_string(peer.pid) + "): not an administrator");
      AnswerAside(fd, 3, "only an administrator may update this machine");
      continue;
    }
    std::unique_lock lock(m_mutex);
    // A connection that has not greeted yet holds no run (it may be one
    // that has just gone, unnoticed so far): later ones wait for it.
    const bool running = m_active != nullptr && m_active->Greeted() && !m_active->Ending();
    if (running || !m_waiting.empty()) {
      // One run at a time: the window of the run under way shows itself.
      if (running) m_active->Channel().Post(m_active->Mode() != 0 ? NOTIFY_STATE : BRING_TO_FRONT);
      lock.unlock();
      AnswerAside(fd, 2, "an update run is under way; its window was asked to show itself");
      continue;
    }
    m_waiting.push_back(fd);
    m_arrived.notify_all();
  }
}

void EngineService::Serve(int fd) {
  EngineSession session(fd);
  {
    std::lock_guard lock(m_mutex);
    m_active = &session;
  }
  session.Run(kHelloWithin);
  std::lock_guard lock(m_mutex);
  m_active = nullptr;
}

int EngineService::Run(std::chrono::milliseconds idle) {
  if (m_listen < 0) {
    platform::Diagnostics::Report("engine: no socket to listen on");
    return 1;
  }
  if (pipe2(m_stopPipe, O_CLOEXEC) != 0) {
    platform::Diagnostics::Report(std::string("engine: cannot make a pipe: ") + std::strerror(errno));
    return 1;
  }
  g_stopFd.store(m_stopPipe[1]);
  if (g_stopRequested.load()) RequestStop();
  m_acceptor = std::thread([this] { AcceptLoop(); });
  for (;;) {
    int fd = -1;
    {
      std::unique_lock lock(m_mutex);
      if (!m_arrived.wait_for(lock, idle, [this] { return !m_waiting.empty() || StopRequested(); })) break;
      if (StopRequested()) break;
      fd = m_waiting.front();
      m_waiting.pop_front();
    }
    Serve(fd);
  }
  // Idle or asked to stop: stop taking connections. Under socket activation systemd keeps
  // the socket, and a window that comes now starts the service again.
  m_stopping.store(true);
  const char stop = 1;
  while (write(m_stopPipe[1], &stop, 1) < 0 && errno == EINTR) {
  }
  m_acceptor.join();
  // A window whose connection was taken just as the engine fell idle is
  // already waiting for its answer: it is served, not cut off.
  for (;;) {
    int fd = -1;
    {
      std::lock_guard lock(m_mutex);
      if (m_waiting.empty() || StopRequested()) break;
      fd = m_waiting.front();
      m_waiting.pop_front();
    }
    Serve(fd);
  }
  g_stopFd.store(-1);
  // The answers under way end within their greeting time.
  while (m_answering.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds{10});
  close(m_stopPipe[0]);
  close(m_stopPipe[1]);
  std::lock_guard lock(m_mutex);
  for (int fd : m_waiting) close(fd);
  m_waiting.clear();
  if (!m_path.empty()) unlink(m_path.c_str());
  return 0;
}

}  // namespace qrv::remote
