#pragma once

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "platform/net/TransferBudget.h"

namespace qrv::platform {

// One libcurl easy handle driven through a private multi handle, shared by
// the HTTP and FTP clients of this folder (never included outside it, so the
// layers above never see libcurl).
//
// Keeping both handles for the object's lifetime keeps libcurl's connection
// cache: a second request to the same server reuses the open (for FTP: the
// logged-in) connection.
//
// The receive time-out is measured from the last byte received (headers, FTP
// server replies or body) once the request has been sent, not over the whole
// transfer; the connection phase is governed by the connect time-out the
// owner sets on Easy(). Driving the multi handle ourselves lets the time-out
// fire within a few tens of milliseconds of its due time instead of at
// libcurl's one-second progress ticks.
//
// Beyond the stall, every transfer is held to a TransferBudget (a floor rate
// averaged from the moment the request went out; the deadline tightens once
// the server announces the body's length) and to kMaxReplyBytes of header
// lines or FTP server replies. These are checked by the loop that drives the
// transfer, not only in libcurl's callbacks, so they hold in every phase: an
// FTP server that answers RETR with endless "150-" continuation lines is
// ended like one that drips its data.
//
// Thread: one thread at a time; not movable (libcurl holds its address).
class CurlSession {
 public:
  // Receives one header line (with its line break) or FTP server reply line.
  // false aborts the transfer.
  using LineHandler = std::function<bool(std::string_view line)>;
  // Receives a piece of the body; false aborts the transfer.
  using DataHandler = std::function<bool(const char* data, size_t size)>;

  CurlSession();
  ~CurlSession();
  CurlSession(const CurlSession&) = delete;
  CurlSession& operator=(const CurlSession&) = delete;

  // false when libcurl could not make its handles (the reason is in LastError
  // after construction); Perform then fails at once.
  bool IsUsable() const { return m_easy != nullptr && m_multi != nullptr; }
  // For protocol options; the callbacks and their data belong to this object
  // and must not be replaced.
  CURL* Easy() const { return m_easy; }

  // Header lines and FTP replies one transfer may bring, in bytes.
  static constexpr size_t kMaxReplyBytes = 256 * 1024;

  // A stall of this long after the request went out fails it; 0 = no limit.
  void SetReceiveTimeout(std::chrono::milliseconds timeout) { m_receiveTimeout = timeout; }
  std::chrono::milliseconds ReceiveTimeout() const { return m_receiveTimeout; }
  // The floor rate of every following transfer (bytes per second; 0 = the
  // default of TransferBudget).
  void SetFloorRate(uint64_t bytesPerSecond) { m_budget = TransferBudget(bytesPerSecond); }
  uint64_t FloorRate() const { return m_budget.FloorRate(); }

  // Runs one transfer of url with the options set on Easy(). The handlers are
  // called on this thread while it runs; either may be empty.
  CURLcode Perform(const std::string& url, const LineHandler& onLine, const DataHandler& onData);

  // The response code of the last transfer's final reply (HTTP status or FTP
  // reply code); 0 when none came.
  long ResponseCode() const;
  // Why a transfer ended with code: libcurl's text and its detail, or the
  // limit that ended it (the stall with its length, the floor rate, the reply
  // size) with its values.
  std::string Describe(CURLcode code) const;
  // Whether the last transfer was ended by the floor rate (kTime) or by too
  // long a run of headers or replies (kSize); the stall is a plain failure.
  LimitHit Limit() const { return m_limit; }

 private:
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnWrite(char* data, size_t size, size_t count, void* self);
  static int OnProgress(void* self, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal, curl_off_t ulNow);
  static int OnPrereq(void* self, char* remoteIp, char* localIp, int remotePort, int localPort);
  // false (with m_stopReason) once the transfer under way has stalled or
  // fallen behind its budget.
  bool WithinLimits();

  CURL* m_easy = nullptr;
  CURLM* m_multi = nullptr;
  char m_errorBuffer[CURL_ERROR_SIZE] = {};
  std::chrono::milliseconds m_receiveTimeout{0};

  // state of the transfer under way
  const LineHandler* m_onLine = nullptr;
  const DataHandler* m_onData = nullptr;
  std::chrono::steady_clock::time_point m_lastActivity;
  bool m_requestSent = false;
  TransferBudget m_budget;
  uint64_t m_received = 0;
  uint64_t m_replyBytes = 0;
  LimitHit m_limit = LimitHit::kNone;
  std::string m_stopReason;  // set when a limit of ours ended the transfer
};

}  // namespace qrv::platform
