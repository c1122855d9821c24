#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace qrv::platform {

// Which limit, if any, ended a transfer: a size cap (a body or a server
// reply longer than allowed) or time (below the floor rate, past the
// deadline). A transfer ended by a limit is refused, not merely failed: the
// same file would fail the same way again.
enum class LimitHit { kNone, kSize, kTime };

// How long one file may take to arrive, whatever the transport (HTTP, FTP,
// a network folder, an SMB share). A server that stops sending is caught by
// the stall time-outs of the clients; this catches the one that never stops
// but never finishes either: a byte every few seconds, or an endless reply.
//
// The rule is a floor rate, in bytes per second, averaged from the start of
// the transfer: after an allowance (the time kAllowanceBytes take at that
// rate, for the exchange around the body: headers, FTP replies, opening the
// file), the bytes received must keep up with the rate. So a file of N bytes
// must be complete within (kAllowanceBytes + N) / rate seconds, its deadline,
// and a body of unknown length is judged by what has arrived so far. Bursts count:
// a server may pause as long as its average stays above the floor.
//
// Call order: Start() when the request is sent (the connection phase has its
// own time-out), SetExpectedBytes() once the size is known (optional),
// Check() as often as convenient. Reason() explains the last failed Check().
//
// Thread: one thread at a time; a plain value.
class TransferBudget {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr uint64_t kDefaultFloorRate = 4096;
  static constexpr uint64_t kAllowanceBytes = 64 * 1024;

  // rate 0 is taken as kDefaultFloorRate: a transfer without any floor is
  // what this class exists to prevent.
  explicit TransferBudget(uint64_t floorRate = kDefaultFloorRate);

  uint64_t FloorRate() const { return m_rate; }

  void Start(Clock::time_point now = Clock::now());
  bool Started() const { return m_started; }
  // The size announced by the server (Content-Length, the FTP SIZE reply,
  // the file's size on a share); 0 = unknown.
  void SetExpectedBytes(uint64_t bytes) { m_expected = bytes; }

  // false when the transfer, with received bytes so far, has run past its
  // deadline or fallen below the floor rate; always true before Start().
  bool Check(uint64_t received, Clock::time_point now = Clock::now());
  const std::string& Reason() const { return m_reason; }

 private:
  uint64_t m_rate;
  uint64_t m_expected = 0;
  bool m_started = false;
  Clock::time_point m_start;
  std::string m_reason;
};

}  // namespace qrv::platform
