#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "app/remote/RemoteChannel.h"
#include "platform/core/RunLock.h"

namespace qrv {
class CQUpdateBaseProcess;
}

namespace qrv::remote {

// One window's conversation with the engine service: the engine's process
// object for that window's run, its calls served, its notifications and
// questions sent to the window (RemoteWindowProxy, RemoteMessageService).
//
// Everything the client sends is checked before it is used: product keys
// must be plain names (and those to download among the products the run
// found), state codes and settings within their ranges, folders absolute;
// a call that fails a check is refused with the reason and changes nothing.
//
// The client must be allowed before a session is made (the service checks
// the kernel's word on who it is). A client that goes away during a run
// leaves it as CQUpdateBase::AbandonRun says.
//
// Thread: one thread (the service's) makes it and runs it; the process-wide
// services (message boxes, the event pump of that thread) are the session's
// while Run runs. Only one session runs at a time in a process.
class EngineSession {
 public:
  // Takes the connected socket.
  explicit EngineSession(int fd);
  ~EngineSession();
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;

  // Serves the client until it ends the session or goes; helloWithin is how
  // long it may take to say who it is. The process object is gone when this
  // returns.
  void Run(std::chrono::milliseconds helloWithin);
  // The run mode the client announced (0 until it did).
  uint32_t Mode() const { return m_mode.load(); }
  RemoteChannel& Channel() { return m_channel; }
  // Whether the session is over but for its tidying up (the window said
  // goodbye or went away): a window that comes now is the next session,
  // not a second one. Any thread.
  bool Ending() const { return m_ending.load() || !m_channel.IsOpen(); }
  // The window has greeted: the session holds the machine's run. Any thread.
  bool Greeted() const { return m_greeted.load(); }

 private:
  void Dispatch(const Message& call, Message& reply);
  // Serves a call of the run or the settings; false when the call is not
  // one of those.
  bool DispatchEngine(const Message& call, Message& reply);
  bool DispatchSettings(const Message& call, Message& reply);
  void Start(uint32_t mode);
  void End();
  // The pump of the session's thread while the engine waits for a worker.
  void Pump();

  platform::RunLock m_runLock;  // held from the greeting on
  RemoteChannel m_channel;
  std::unique_ptr<CQUpdateBaseProcess> m_process;
  std::atomic<bool> m_greeted{false};  // read by the service's acceptor
  bool m_ended = false;
  std::atomic<bool> m_ending{false};
  bool m_inPump = false;
  std::set<uint32_t> m_running;  // long calls on the stack (see LongCall)
  std::set<uint32_t> m_active;   // of those, the ones whose work has not ended  // serving calls while the engine waits for a worker
  std::atomic<uint32_t> m_mode{0};  // read by the service's acceptor
};

}  // namespace qrv::remote
