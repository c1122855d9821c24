#pragma once

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

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

  // A stall of this long after the request went out fails it; 0 = no limit.
  void SetReceiveTimeout(std::chrono::milliseconds timeout) { m_receiveTimeout = timeout; }
  std::chrono::milliseconds ReceiveTimeout() const { return m_receiveTimeout; }

  // Runs one transfer of url with the options set on Easy(). The handlers are
  // called on this thread while it runs; either may be empty.
  CURLcode Perform(const std::string& url, const LineHandler& onLine, const DataHandler& onData);

  // The response code of the last transfer's final reply (HTTP status or FTP
  // reply code); 0 when none came.
  long ResponseCode() const;
  // Why a transfer ended with code: libcurl's text and its detail, or the
  // stall with its length.
  std::string Describe(CURLcode code) const;

 private:
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnWrite(char* data, size_t size, size_t count, void* self);
  static int OnProgress(void* self, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal, curl_off_t ulNow);
  static int OnPrereq(void* self, char* remoteIp, char* localIp, int remotePort, int localPort);

  CURL* m_easy = nullptr;
  CURLM* m_multi = nullptr;
  char m_errorBuffer[CURL_ERROR_SIZE] = {};
  std::chrono::milliseconds m_receiveTimeout{0};

  // state of the transfer under way
  const LineHandler* m_onLine = nullptr;
  const DataHandler* m_onData = nullptr;
  std::chrono::steady_clock::time_point m_lastActivity;
  bool m_requestSent = false;
  bool m_stalled = false;
};

}  // namespace qrv::platform
