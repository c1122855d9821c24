#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace qrv {

namespace platform {
class HttpClient;
}

// The small HTTP client of the update-service query: one GET of a full URL,
// the reply kept as text.
//
// The reply is read line by line and the lines are joined without their line
// breaks ("\n" or "\r\n"), so a marker split from its value by a line break
// still reads as one piece. A reply is at most kMaxReplyBytes: a longer one
// is not read further and the request fails, as does a reply with an HTTP
// status of 400 or above (an error page is never taken for an answer). A
// stall of more than kReceiveTimeoutMs between received bytes fails it too,
// and so does a reply slower than the MinTransferRate setting.
//
// Thread: the caller's; Request() blocks while the request is under way.
class CQUpdateWebServer {
 public:
  static constexpr size_t kMaxReplyBytes = 1024 * 1024;
  static constexpr int kReceiveTimeoutMs = 600;

  explicit CQUpdateWebServer(std::string url);
  virtual ~CQUpdateWebServer();
  CQUpdateWebServer(const CQUpdateWebServer&) = delete;
  CQUpdateWebServer& operator=(const CQUpdateWebServer&) = delete;

  // 1 when a non-empty reply was read, else 0 (reply empty, reason in
  // platform::LastError).
  int Request();
  const std::string& GetReply() const { return m_reply; }
  const std::string& GetUrl() const { return m_url; }

 private:
  std::unique_ptr<platform::HttpClient> m_session;  // null when it cannot be made
  std::string m_url;
  std::string m_reply;
};

}  // namespace qrv
