#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace qrv::remote {

class EngineSession;

// The update engine as a service: it listens on a Unix stream socket
// (handed over by systemd's socket activation, or bound here), serves one
// window's session at a time and ends when no window has come for the idle
// time.
//
// Who may connect is the kernel's word (PeerCredentials), by the
// administrator rule: anyone else is answered with a refusal (the window
// shows its "administrators only" message) and nothing of theirs is read
// beyond the greeting. A window that comes while a run is under way is
// answered "handed over", and the running window is asked to show itself
// (an automatic run shows its state, an interactive window comes to the
// front), as a second start does on the desktop.
//
// Thread: Run on one thread (the sessions run on it); an acceptor thread of
// its own takes the connections.
class EngineService {
 public:
  // The socket a service started by systemd was handed (LISTEN_FDS), or -1.
  static int ActivatedSocket();
  // Asks the service to end (async-signal-safe: for SIGTERM): no new window
  // is served, a download under way stops, a copy runs to its end, then
  // Run returns.
  static void RequestStop();
  static bool StopRequested();

  EngineService() = default;
  ~EngineService();
  EngineService(const EngineService&) = delete;
  EngineService& operator=(const EngineService&) = delete;

  // Listens at path: a socket file made here (any stale one replaced),
  // readable and writable by everyone (the kernel's word on each caller
  // decides), in a folder that must exist. false with the reason in error.
  bool Listen(const std::string& path, std::string& error);
  // Listens on a socket made elsewhere (socket activation); takes it.
  void Adopt(int fd) { m_listen = fd; }

  // Serves until no window has come for idle; the process's exit status.
  int Run(std::chrono::milliseconds idle);

 private:
  void AcceptLoop();
  // One window's session on connection fd (closed by the session).
  void Serve(int fd);
  // A connection that will not become the session: greet it with answer
  // (0 refused, 2 handed over) and why, then close it.
  static void Answer(int fd, int answer, const std::string& why);
  // Answer on a thread of its own, so the acceptor goes on at once.
  void AnswerAside(int fd, int answer, const std::string& why);

  int m_listen = -1;
  std::string m_path;  // the socket file made by Listen, removed at the end
  std::thread m_acceptor;
  std::atomic<bool> m_stopping{false};
  std::atomic<int> m_answering{0};  // AnswerAside threads running
  int m_stopPipe[2] = {-1, -1};  // written once to end the acceptor
  std::mutex m_mutex;
  std::condition_variable m_arrived;
  std::deque<int> m_waiting;         // allowed connections, not yet served
  EngineSession* m_active = nullptr;  // the session being served
};

}  // namespace qrv::remote
