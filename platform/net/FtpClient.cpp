#include "platform/net/FtpClient.h"

#include <algorithm>
#include <limits>

#include "platform/core/LastError.h"
#include "platform/net/CurlSession.h"
#include "platform/net/LocalFileSink.h"
#include "platform/net/UrlEncoding.h"

namespace qrv::platform {
namespace {

constexpr long kReceiveBufferBytes = 128 * 1024;

bool IsHexOrColon(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

// The host as it goes into a URL ("[::1]" for an IPv6 address), or empty when
// it is no host name or address: a URL made from it could point elsewhere
// ("evil@host", "host/path") or not parse at all.
std::string UrlHost(const std::string& host) {
  if (host.empty()) return {};
  if (host.front() == '[') {
    if (host.size() < 4 || host.back() != ']') return {};
    std::string inner = host.substr(1, host.size() - 2);
    return std::all_of(inner.begin(), inner.end(), IsHexOrColon) ? host : std::string();
  }
  if (std::count(host.begin(), host.end(), ':') >= 2) {
    return std::all_of(host.begin(), host.end(), IsHexOrColon) ? "[" + host + "]" : std::string();
  }
  for (char ch : host) {
    auto c = static_cast<unsigned char>(ch);
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
              c == '.' || c == '_' || c >= 0x80;  // bytes of an international name
    if (!ok) return {};
  }
  return host;
}

curl_off_t AsCurlSize(uint64_t bytes) {
  return static_cast<curl_off_t>(std::min<uint64_t>(bytes, std::numeric_limits<curl_off_t>::max()));
}

// The last complete reply line seen, without its line break: what the server
// said when it refused something.
class LastReply {
 public:
  CurlSession::LineHandler Handler() {
    return [this](std::string_view line) {
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
      if (!line.empty()) m_line.assign(line.substr(0, 200));
      return true;
    };
  }
  // " (the server said: ...)", or nothing when no reply came
  std::string Quote() const { return m_line.empty() ? std::string() : " (the server said: " + m_line + ")"; }

 private:
  std::string m_line;
};

}  // namespace

FtpClient::FtpClient(std::string host, uint32_t port, std::string user, std::string password)
    : FtpClient(std::move(host), port, std::move(user), std::move(password), Options{}) {}

FtpClient::FtpClient(std::string host, uint32_t port, std::string user, std::string password,
                     const Options& options)
    : m_host(std::move(host)),
      m_port(port == 0 ? kDefaultPort : port),
      m_user(std::move(user)),
      m_password(std::move(password)),
      m_options(options),
      m_session(std::make_unique<CurlSession>()) {
  std::string urlHost = UrlHost(m_host);
  if (urlHost.empty()) {
    LastError::Set("\"" + m_host + "\" is not an FTP server name or address");
    return;
  }
  if (m_port > 65535) {
    LastError::Set("FTP port " + std::to_string(m_port) + " of server \"" + m_host + "\" is out of range");
    return;
  }
  if (!m_session->IsUsable()) return;
  m_endpoint = "ftp://" + urlHost + ":" + std::to_string(m_port) + "/";

  CURL* easy = m_session->Easy();
  m_session->SetReceiveTimeout(m_options.receiveTimeout);
  m_session->SetFloorRate(m_options.floorRate);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "ftp");
  // One whole reply, continuation lines and all, within the receive time-out
  // (libcurl takes whole seconds here).
  long replySeconds = static_cast<long>((m_options.receiveTimeout.count() + 999) / 1000);
  curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, std::max(1L, replySeconds));
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_options.connectTimeout.count()));
  // An empty user means an anonymous login, which libcurl does when none is set.
  if (!m_user.empty()) {
    curl_easy_setopt(easy, CURLOPT_USERNAME, m_user.c_str());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, m_password.c_str());
  }
  // The path is relative to the login folder: sent whole, no CWD on the way.
  curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
  curl_easy_setopt(easy, CURLOPT_TRANSFERTEXT, 0L);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  curl_easy_setopt(easy, CURLOPT_USE_SSL, static_cast<long>(m_options.requireTls ? CURLUSESSL_ALL : CURLUSESSL_NONE));
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  m_usable = true;
}

FtpClient::~FtpClient() = default;

bool FtpClient::Login() {
  LastError::Clear();
  m_limit = LimitHit::kNone;
  std::string who = "\"" + m_user + "\" on FTP server " + m_host + ":" + std::to_string(m_port);
  if (!m_usable) {
    LastError::Set("cannot log in as " + who + ": the server name, port or FTP client is unusable");
    return false;
  }
  // Asking for the login folder without its content logs in and nothing more.
  CURL* easy = m_session->Easy();
  curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  LastReply reply;
  CURLcode code = m_session->Perform(m_endpoint, reply.Handler(), {});
  curl_easy_setopt(easy, CURLOPT_NOBODY, 0L);
  if (code != CURLE_OK) {
    m_limit = m_session->Limit();
    LastError::Set("cannot log in as " + who + ": " + m_session->Describe(code) + reply.Quote());
    return false;
  }
  return true;
}

bool FtpClient::Retrieve(const std::string& remotePath, const std::string& localPath) {
  LastError::Clear();
  m_limit = LimitHit::kNone;
  std::string what = "\"" + remotePath + "\" from FTP server " + m_host + ":" + std::to_string(m_port);
  if (!m_usable) {
    LastError::Set("cannot fetch " + what + ": the server name, port or FTP client is unusable");
    return false;
  }
  if (remotePath.empty() || remotePath.front() == '/') {
    LastError::Set("cannot fetch " + what + ": the path must be relative to the login folder");
    return false;
  }
  LocalFileSink sink(localPath, LocalFileSink::Mode::kViaTempFile, m_options.maxFileBytes);
  if (!sink.Open()) {
    LastError::Set("cannot fetch " + what + ": " + sink.Error());
    return false;
  }
  CURL* easy = m_session->Easy();
  curl_easy_setopt(easy, CURLOPT_NOBODY, 0L);
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, AsCurlSize(m_options.maxFileBytes));
  std::string failure;
  CurlSession::DataHandler onData = [&](const char* data, size_t size) {
    if (sink.Write(data, size)) return true;
    failure = sink.Error();
    return false;
  };
  LastReply reply;
  CURLcode code = m_session->Perform(m_endpoint + UrlEncoding::EncodePath(remotePath), reply.Handler(), onData);
  if (sink.OverCap() || code == CURLE_FILESIZE_EXCEEDED) {
    m_limit = LimitHit::kSize;
  } else if (code != CURLE_OK) {
    m_limit = m_session->Limit();
  }
  if (failure.empty() && code == CURLE_FILESIZE_EXCEEDED) {
    failure = "the file is larger than the limit of " + std::to_string(m_options.maxFileBytes) + " bytes";
  }
  if (failure.empty() && code != CURLE_OK) failure = m_session->Describe(code) + reply.Quote();
  if (failure.empty() && !sink.Commit()) failure = sink.Error();
  if (!failure.empty()) {
    sink.Abandon();
    LastError::Set("cannot fetch " + what + " into \"" + localPath + "\": " + failure);
    return false;
  }
  return true;
}

}  // namespace qrv::platform
