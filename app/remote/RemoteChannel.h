#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "app/remote/EngineProtocol.pb.h"

namespace qrv::remote {

// One connection between a window and the engine service: messages of
// EngineProtocol.proto over a connected Unix stream socket, with calls that
// nest both ways. While a side waits for the reply to its call, it serves
// the calls the other side makes meanwhile (which may call back in turn), so
// a window's Cancel reaches a download in progress and an engine's
// notification may start the next phase, as within one process.
//
// A reader thread takes complete messages off the socket (protobuf's
// length-delimited framing, each message at most kMaxMessageBytes) and
// queues them; everything else happens on the owner thread, the one that
// made the channel: calls, serving, the dispatcher, the pump.
//
// A connection that closes, or that sends what is no message of ours, ends
// the channel: waits return false at once and IsOpen() turns false (the
// reason in CloseReason()). Nothing is retried.
//
// Thread: the owner thread, except Post() and IsOpen(), which any thread may
// call. Destroy on the owner thread (it joins the reader).
class RemoteChannel {
 public:
  // Largest message either side accepts (the biggest legitimate one carries
  // a megabyte of update notes).
  static constexpr size_t kMaxMessageBytes = 4u << 20;
  // Most messages that may wait to be taken; more end the connection.
  static constexpr size_t kMaxQueued = 1024;
  static constexpr size_t kMaxQueuedBytes = 16u << 20;

  // Serves one call of the other side: fills reply's values (or its error).
  using Dispatcher = std::function<void(const Message& call, Message& reply)>;

  // Takes the connected socket fd (closed by the destructor).
  explicit RemoteChannel(int fd);
  ~RemoteChannel();
  RemoteChannel(const RemoteChannel&) = delete;
  RemoteChannel& operator=(const RemoteChannel&) = delete;

  void SetDispatcher(Dispatcher dispatcher) { m_dispatcher = std::move(dispatcher); }
  // What the owner thread runs while it waits (a window's events), at least
  // every interval; none by default.
  void SetPump(std::function<void()> pump, std::chrono::milliseconds interval);

  // Calls method with args and waits for the reply, serving the other
  // side's calls meanwhile. true with reply filled when it came (reply's
  // error says whether the call was refused); false when the connection
  // ended first or timeout (0: none) passed.
  bool Call(Method method, const google::protobuf::RepeatedPtrField<Value>& args, Message& reply,
            std::chrono::milliseconds timeout = std::chrono::milliseconds{0});
  // Sends a call that is never answered (see NOTIFY_STATE). Any thread.
  bool Post(Method method);
  // Serves the calls that have arrived, without waiting.
  void ServePending();
  // Waits up to wait for one call and serves it (and any that came with
  // it); false when the connection has ended.
  bool ServeFor(std::chrono::milliseconds wait);

  // A descriptor that turns readable when a message has arrived or the
  // connection has ended, for an event loop that serves the channel while
  // nothing waits on it (a window at rest); TakeWake() makes it unreadable
  // again. Owned by the channel.
  int WakeFd() const { return m_wake; }
  void TakeWake();

  bool IsOpen() const;
  std::string CloseReason() const;
  // Shuts the connection down (both ways); the reader ends, waits return false.
  void Shutdown();

 private:
  void ReadLoop();
  bool Send(const Message& message);
  void Serve(const Message& call);
  void Close(const std::string& reason);

  void Wake();

  int m_fd;
  int m_wake = -1;
  std::thread m_reader;
  mutable std::mutex m_mutex;
  std::condition_variable m_arrived;
  std::deque<Message> m_queue;          // arrived, not yet taken
  size_t m_queuedBytes = 0;             // their encoded size
  std::map<uint64_t, Message> m_early;  // replies to outer calls, taken by those
  bool m_open = true;
  std::string m_closeReason;
  std::set<uint64_t> m_waiting;        // calls of ours waiting for their reply
  std::mutex m_sendMutex;
  std::atomic<uint64_t> m_nextId{1};
  Dispatcher m_dispatcher;
  std::function<void()> m_pump;
  std::chrono::milliseconds m_pumpInterval{100};
};

}  // namespace qrv::remote
