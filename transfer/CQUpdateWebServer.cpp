#include "transfer/CQUpdateWebServer.h"

#include <chrono>

#include "config/CQUpdateMgrEnv.h"
#include "platform/core/LastError.h"
#include "platform/net/HttpClient.h"

namespace qrv {

CQUpdateWebServer::CQUpdateWebServer(std::string url) : m_url(std::move(url)) {
  platform::HttpClient::Options options;
  options.receiveTimeout = std::chrono::milliseconds(kReceiveTimeoutMs);
  options.floorRate = CQUpdateMgrEnv().GetMinTransferRate();
  auto session = std::make_unique<platform::HttpClient>(options);
  if (session->IsUsable()) m_session = std::move(session);
}

CQUpdateWebServer::~CQUpdateWebServer() = default;

int CQUpdateWebServer::Request() {
  m_reply.clear();
  if (m_session == nullptr) {
    platform::LastError::Set("cannot query " + m_url + ": no HTTP session");
    return 0;
  }
  std::string body;
  if (!m_session->GetToMemory(m_url, kMaxReplyBytes, body)) return 0;

  /* join the lines without their breaks */
  m_reply.reserve(body.size());
  size_t start = 0;
  while (start < body.size()) {
    size_t newline = body.find('\n', start);
    size_t end = newline == std::string::npos ? body.size() : newline;
    size_t lineEnd = end;
    if (newline != std::string::npos && lineEnd > start && body[lineEnd - 1] == '\r') --lineEnd;
    m_reply.append(body, start, lineEnd - start);
    start = newline == std::string::npos ? body.size() : newline + 1;
  }
  if (m_reply.empty()) {
    platform::LastError::Set("the update service at " + m_url + " sent an empty reply");
    return 0;
  }
  return 1;
}

}  // namespace qrv
