#include "platform/net/HttpClient.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <limits>

#include "platform/core/LastError.h"
#include "platform/net/CurlSession.h"
#include "platform/net/LocalFileSink.h"

namespace qrv::platform {
namespace {

// Large enough that libcurl hands over big pieces of a large body (fewer
// callbacks and writes), small enough not to matter for memory.
constexpr long kReceiveBufferBytes = 128 * 1024;

// A URL as it can be shown in one line of a message.
std::string Printable(const std::string& url) {
  std::string out;
  for (char ch : url) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

bool IsBlankLine(std::string_view line) { return line == "\r\n" || line == "\n"; }

curl_off_t AsCurlSize(uint64_t bytes) {
  return static_cast<curl_off_t>(std::min<uint64_t>(bytes, std::numeric_limits<curl_off_t>::max()));
}

}  // namespace

HttpClient::HttpClient() : HttpClient(Options{}) {}

HttpClient::HttpClient(const Options& options) : m_options(options), m_session(std::make_unique<CurlSession>()) {
  if (!m_session->IsUsable()) return;
  CURL* easy = m_session->Easy();
  m_session->SetReceiveTimeout(m_options.receiveTimeout);
  m_session->SetFloorRate(m_options.floorRate);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, m_options.maxRedirects);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_options.connectTimeout.count()));
  curl_easy_setopt(easy, CURLOPT_USERAGENT, m_options.userAgent.c_str());
  // A proxy's answer to CONNECT is not the server's reply; keep it away from
  // the header handling that decides when the local file is created.
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  // libcurl's defaults, stated: the server's certificate and name are checked
  // against the system store, always.
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  m_noCacheHeaders = curl_slist_append(nullptr, "Cache-Control: no-cache");
  if (m_noCacheHeaders != nullptr) {
    curl_slist* more = curl_slist_append(m_noCacheHeaders, "Pragma: no-cache");
    if (more != nullptr) m_noCacheHeaders = more;
  }
}

HttpClient::~HttpClient() {
  // the session goes first: its handle still points at the header list
  m_session.reset();
  curl_slist_free_all(m_noCacheHeaders);
}

bool HttpClient::IsUsable() const { return m_session != nullptr && m_session->IsUsable(); }

bool HttpClient::CheckUrl(const std::string& url) {
  if (!IsUsable()) {
    LastError::Set("cannot fetch " + Printable(url) + ": the HTTP client could not be set up");
    return false;
  }
  if (url.empty()) {
    LastError::Set("cannot fetch an empty URL");
    return false;
  }
  for (char ch : url) {
    auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F) {
      LastError::Set("refusing to fetch \"" + Printable(url) + "\": a URL cannot hold spaces or control characters");
      return false;
    }
  }
  // A transfer that began encrypted stays encrypted: a redirect to plain
  // HTTP would hand the unsigned information files to whoever listens.
  const bool secure = url.size() >= 8 && strncasecmp(url.c_str(), "https://", 8) == 0;
  curl_easy_setopt(m_session->Easy(), CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  return true;
}

bool HttpClient::GetToFile(const std::string& url, const std::string& localPath) {
  m_status = 0;
  m_limit = LimitHit::kNone;
  LastError::Clear();
  if (!CheckUrl(url)) return false;
  CURL* easy = m_session->Easy();
  curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, m_noCacheHeaders);
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, AsCurlSize(m_options.maxFileBytes));

  LocalFileSink sink(localPath, LocalFileSink::Mode::kReplaceInPlace, m_options.maxFileBytes);
  std::string failure;
  bool discard = false;       // the body of an error reply is read and dropped
  bool sawLocation = false;   // in the header block being read
  CurlSession& session = *m_session;

  /* the file is made when the final reply's headers are complete */
  CurlSession::LineHandler onLine = [&](std::string_view line) {
    if (StartsWithNoCase(line, "HTTP/")) {
      sawLocation = false;
    } else if (StartsWithNoCase(line, "Location:")) {
      sawLocation = true;
    } else if (IsBlankLine(line)) {
      long status = session.ResponseCode();
      bool interim = status < 200 || (status < 400 && status >= 300 && sawLocation);  // 1xx, followed redirect
      if (interim) return true;
      if (status >= 400) {
        discard = true;
      } else if (!sink.Open()) {
        failure = sink.Error();
        return false;
      }
    }
    return true;
  };
  CurlSession::DataHandler onData = [&](const char* data, size_t size) {
    if (discard) return true;
    if (!sink.IsOpen() && !sink.Open()) {
      failure = sink.Error();
      return false;
    }
    if (!sink.Write(data, size)) {
      failure = sink.Error();
      return false;
    }
    return true;
  };
  CURLcode code = session.Perform(url, onLine, onData);
  m_status = static_cast<uint32_t>(session.ResponseCode());

  if (!failure.empty() || code != CURLE_OK) {
    if (sink.OverCap() || code == CURLE_FILESIZE_EXCEEDED) {
      m_limit = LimitHit::kSize;
    } else {
      m_limit = session.Limit();
    }
    // what a limit ended is never wanted, not even in part
    if (m_limit != LimitHit::kNone) {
      sink.Discard();
    } else {
      sink.Abandon();
    }
    std::string reason = !failure.empty() ? failure
                         : code == CURLE_FILESIZE_EXCEEDED
                             ? "the server announced a body larger than the limit of " +
                                   std::to_string(m_options.maxFileBytes) + " bytes"
                             : session.Describe(code);
    LastError::Set("cannot fetch " + Printable(url) + " into \"" + localPath + "\": " + reason);
    return false;
  }
  if (m_status >= 400) {
    LastError::Set("cannot fetch " + Printable(url) + ": the server answered with HTTP status " +
                   std::to_string(m_status));
    return false;
  }
  // normally made at the end of the headers; this covers a reply that had none
  if ((!sink.IsOpen() && !sink.Open()) || !sink.Commit()) {
    LastError::Set("cannot fetch " + Printable(url) + ": " + sink.Error());
    return false;
  }
  return true;
}

bool HttpClient::GetToMemory(const std::string& url, size_t maxBytes, std::string& body) {
  m_status = 0;
  m_limit = LimitHit::kNone;
  body.clear();
  LastError::Clear();
  if (!CheckUrl(url)) return false;
  CURL* easy = m_session->Easy();
  curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, AsCurlSize(maxBytes));

  bool tooLarge = false;
  CurlSession::DataHandler onData = [&](const char* data, size_t size) {
    if (size > maxBytes - body.size()) {
      tooLarge = true;
      return false;
    }
    body.append(data, size);
    return true;
  };
  CURLcode code = m_session->Perform(url, {}, onData);
  m_status = static_cast<uint32_t>(m_session->ResponseCode());
  if (tooLarge || code != CURLE_OK || m_status >= 400) body.clear();
  if (tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
    m_limit = LimitHit::kSize;
    LastError::Set("cannot fetch " + Printable(url) + ": the reply is larger than the limit of " +
                   std::to_string(maxBytes) + " bytes");
    return false;
  }
  if (code != CURLE_OK) {
    m_limit = m_session->Limit();
    LastError::Set("cannot fetch " + Printable(url) + ": " + m_session->Describe(code));
    return false;
  }
  if (m_status >= 400) {
    LastError::Set("cannot fetch " + Printable(url) + ": the server answered with HTTP status " +
                   std::to_string(m_status));
    return false;
  }
  return true;
}

}  // namespace qrv::platform
