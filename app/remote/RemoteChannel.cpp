#include "app/remote/RemoteChannel.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/util/delimited_message_util.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qrv::remote {

RemoteChannel::RemoteChannel(int fd) : m_fd(fd), m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  m_reader = std::thread([this] { ReadLoop(); });
}

RemoteChannel::~RemoteChannel() {
  Shutdown();
  if (m_reader.joinable()) m_reader.join();
  if (m_fd >= 0) close(m_fd);
  if (m_wake >= 0) close(m_wake);
}

void RemoteChannel::Wake() {
  if (m_wake < 0) return;
  const uint64_t one = 1;
  while (write(m_wake, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void RemoteChannel::TakeWake() {
  if (m_wake < 0) return;
  uint64_t count = 0;
  while (read(m_wake, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

void RemoteChannel::SetPump(std::function<void()> pump, std::chrono::milliseconds interval) {
  m_pump = std::move(pump);
  m_pumpInterval = interval.count() > 0 ? interval : std::chrono::milliseconds{100};
}

void RemoteChannel::ReadLoop() {
  google::protobuf::io::FileInputStream input(m_fd);
  for (;;) {
    Message message;
    bool cleanEnd = false;
    {
      // A fresh limit per message: the coded stream counts everything it
      // reads, and hands what it read ahead back to input when it goes.
      google::protobuf::io::CodedInputStream coded(&input);
      coded.SetTotalBytesLimit(static_cast<int>(kMaxMessageBytes) + 16);
      if (!google::protobuf::util::ParseDelimitedFromCodedStream(&message, &coded, &cleanEnd)) {
        if (cleanEnd) {
          Close("the other side closed the connection");
        } else if (input.GetErrno() != 0) {
          Close(std::string("cannot read from the connection: ") + std::strerror(input.GetErrno()));
        } else {
          Close("the other side sent something that is no message of ours (malformed, cut off or over " +
                std::to_string(kMaxMessageBytes) + " bytes)");
        }
        return;
      }
    }
    {
      std::lock_guard lock(m_mutex);
      const size_t bytes = message.ByteSizeLong();
      if (m_queue.size() >= kMaxQueued || m_queuedBytes + bytes > kMaxQueuedBytes) {
        // Nobody sends that much without waiting for an answer: the other
        // side is not talking with us, only filling our memory.
        m_open = false;
        m_closeReason = "the other side sent more than " + std::to_string(m_queue.size()) + " messages (" +
                        std::to_string(m_queuedBytes) + " bytes) without waiting for them to be taken";
        m_arrived.notify_all();
      } else {
        m_queuedBytes += bytes;
        m_queue.push_back(std::move(message));
        m_arrived.notify_all();
      }
    }
    Wake();
    if (!IsOpen()) {
      shutdown(m_fd, SHUT_RDWR);
      return;
    }
  }
}

bool RemoteChannel::Send(const Message& message) {
  std::string bytes;
  {
    google::protobuf::io::StringOutputStream output(&bytes);
    if (!google::protobuf::util::SerializeDelimitedToZeroCopyStream(message, &output)) {
      Close("cannot encode a message");
      return false;
    }
  }
  if (bytes.size() > kMaxMessageBytes) {
    // The other side would take it for an attack and hang up; say why here.
    Close("a message of " + std::to_string(bytes.size()) + " bytes is over the limit of " +
          std::to_string(kMaxMessageBytes) + " bytes");
    return false;
  }
  std::lock_guard lock(m_sendMutex);
  size_t sent = 0;
  while (sent < bytes.size()) {
    // MSG_NOSIGNAL: a peer that went away must not kill this process.
    const ssize_t n = send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Close(std::string("cannot send to the other side: ") + std::strerror(n < 0 ? errno : EPIPE));
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

void RemoteChannel::Close(const std::string& reason) {
  std::lock_guard lock(m_mutex);
  if (!m_open) return;
  m_open = false;
  m_closeReason = reason;
  m_arrived.notify_all();
  Wake();
}

void RemoteChannel::Shutdown() {
  Close("the connection was shut down");
  // Ends the reader's read and the other side's; the descriptor stays until
  // the destructor, so no other file can take its number meanwhile.
  if (m_fd >= 0) shutdown(m_fd, SHUT_RDWR);
}

bool RemoteChannel::IsOpen() const {
  std::lock_guard lock(m_mutex);
  return m_open;
}

std::string RemoteChannel::CloseReason() const {
  std::lock_guard lock(m_mutex);
  return m_closeReason;
}

void RemoteChannel::Serve(const Message& call) {
  Message reply;
  reply.set_reply_to(call.id());
  if (m_dispatcher) {
    m_dispatcher(call, reply);
  } else {
    reply.set_error("no calls are served here");
  }
  // A posted call (id 0) is never answered.
  if (call.id() != 0) Send(reply);
}

bool RemoteChannel::Call(Method method, const google::protobuf::RepeatedPtrField<Value>& args, Message& reply,
                         std::chrono::milliseconds timeout) {
  Message call;
  const uint64_t id = m_nextId.fetch_add(1);
  call.set_id(id);
  call.set_method(static_cast<uint32_t>(method));
  *call.mutable_values() = args;
  {
    std::lock_guard lock(m_mutex);
    m_waiting.insert(id);
  }
  struct Forget {
    RemoteChannel& channel;
    uint64_t id;
    ~Forget() {
      std::lock_guard lock(channel.m_mutex);
      channel.m_waiting.erase(id);
      channel.m_early.erase(id);
    }
  } forget{*this, id};
  if (!Send(call)) return false;

  using Clock = std::chrono::steady_clock;
  const bool limited = timeout.count() > 0;
  const Clock::time_point deadline = Clock::now() + timeout;
  Clock::time_point lastPump = Clock::now();
  for (;;) {
    std::unique_lock lock(m_mutex);
    if (auto early = m_early.find(id); early != m_early.end()) {
      reply = std::move(early->second);
      m_early.erase(early);
      return true;
    }
    if (!m_queue.empty()) {
      Message front = std::move(m_queue.front());
      m_queue.pop_front();
      m_queuedBytes -= std::min(m_queuedBytes, front.ByteSizeLong());
      if (front.reply_to() == id) {
        reply = std::move(front);
        return true;
      }
      if (front.reply_to() != 0) {
        // The reply to a call further out, which takes it when this one is
        // done; one nobody waits for any more is dropped.
        if (m_waiting.count(front.reply_to()) != 0) m_early[front.reply_to()] = std::move(front);
        continue;
      }
      lock.unlock();
      Serve(front);
    } else {
      if (!m_open) return false;
      const Clock::time_point now = Clock::now();
      if (limited && now >= deadline) return false;
      Clock::time_point until = lastPump + m_pumpInterval;
      if (limited && deadline < until) until = deadline;
      m_arrived.wait_until(lock, until, [this] { return !m_queue.empty() || !m_open; });
      if (!m_queue.empty()) continue;
      lock.unlock();
    }
    // A stream of calls must not starve the window of its events.
    if (m_pump && Clock::now() - lastPump >= m_pumpInterval) {
      lastPump = Clock::now();
      m_pump();
    }
  }
}

bool RemoteChannel::Post(Method method) {
  Message call;
  call.set_id(0);
  call.set_method(static_cast<uint32_t>(method));
  return Send(call);
}

void RemoteChannel::ServePending() {
  for (;;) {
    std::unique_lock lock(m_mutex);
    if (m_queue.empty()) return;
    Message front = std::move(m_queue.front());
    m_queue.pop_front();
    m_queuedBytes -= std::min(m_queuedBytes, front.ByteSizeLong());
    if (front.reply_to() != 0) {
      if (m_waiting.count(front.reply_to()) != 0) m_early[front.reply_to()] = std::move(front);
      continue;
    }
    lock.unlock();
    Serve(front);
  }
}

bool RemoteChannel::ServeFor(std::chrono::milliseconds wait) {
  {
    std::unique_lock lock(m_mutex);
    m_arrived.wait_for(lock, wait, [this] { return !m_queue.empty() || !m_open; });
  }
  ServePending();
  std::lock_guard lock(m_mutex);
  return m_open || !m_queue.empty();
}

}  // namespace qrv::remote
