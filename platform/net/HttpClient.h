#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/net/TransferBudget.h"

struct curl_slist;

namespace qrv::platform {

class CurlSession;

// HTTP(S) GET on libcurl, one connection kept open across the requests of a
// run (connections are reused while the server keeps them).
//
// Every request: redirects followed (at most Options::maxRedirects); proxies
// from the environment (http_proxy, https_proxy, no_proxy, as libcurl reads
// them); HTTPS servers verified against the system's certificate store; only
// http and https URLs, also as redirect targets. A URL holding a space or a
// control character is refused without any traffic: it cannot be a valid URL,
// and the caller has to encode what it inserts (see UrlEncoding).
//
// Time-outs: connecting (name lookup, TCP and TLS set-up) may take
// Options::connectTimeout; after the request is sent, a pause of more than
// Options::receiveTimeout between received bytes fails the request. A slow
// but steady body is cut off only below the floor rate (Options::floorRate,
// see TransferBudget): a server that drips its body, or sends an endless one
// without a length, ends in bounded time.
//
// Results: true only when the final reply has a status below 400 and its whole
// body was received and stored. LastStatus() is that reply's status (also
// after a failure; 0 when no reply came). On false, LastError holds the URL
// and the reason.
//
// Thread: one thread at a time (the object may move between threads when the
// caller orders the calls, as the transfer worker does). Not copyable.
class HttpClient {
 public:
  static constexpr uint64_t kDefaultMaxFileBytes = uint64_t{4} << 30;

  struct Options {
    std::chrono::milliseconds receiveTimeout{600};
    std::chrono::milliseconds connectTimeout{5000};
    uint64_t maxFileBytes = kDefaultMaxFileBytes;  // cap of a body written to a file
    uint64_t floorRate = TransferBudget::kDefaultFloorRate;  // bytes per second
    long maxRedirects = 10;
    std::string userAgent = "QorvaneUpdate";
  };

  HttpClient();
  explicit HttpClient(const Options& options);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // false when libcurl could not be set up (reason in LastError right after
  // construction); every request then fails.
  bool IsUsable() const;

  // GET url into the file localPath (its folder must exist). The local file
  // is touched only once the final reply's status is known: a status of 400 or
  // above leaves an existing file as it was; otherwise the file is deleted and
  // created anew before the body arrives, and a transfer that breaks off
  // leaves the part received. A body longer than maxFileBytes fails the
  // request; when the server announces that length nothing is written. A
  // request ended by any limit (LastLimit() not kNone: the size cap, the
  // floor rate, too many header bytes) leaves no file at localPath.
  // Intermediaries are asked not to answer from a cache.
  bool GetToFile(const std::string& url, const std::string& localPath);

  // GET url into body (replaced; empty on failure). More than maxBytes of body
  // fails the request at that point: the rest is not read.
  bool GetToMemory(const std::string& url, size_t maxBytes, std::string& body);

  uint32_t LastStatus() const { return m_status; }
  // The limit that ended the last request, kNone when none did.
  LimitHit LastLimit() const { return m_limit; }

  void SetMaxFileBytes(uint64_t bytes) { m_options.maxFileBytes = bytes; }
  const Options& GetOptions() const { return m_options; }

 private:
  bool CheckUrl(const std::string& url);

  Options m_options;
  std::unique_ptr<CurlSession> m_session;
  curl_slist* m_noCacheHeaders = nullptr;
  uint32_t m_status = 0;
  LimitHit m_limit = LimitHit::kNone;
};

}  // namespace qrv::platform
