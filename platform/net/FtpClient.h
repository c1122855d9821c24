#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/net/TransferBudget.h"

namespace qrv::platform {

class CurlSession;

// FTP on libcurl: one login with user name and password, kept for every file
// of a run (libcurl reuses the logged-in connection, and logs in again by
// itself should the server have dropped it).
//
// Files are fetched in passive mode, binary, by a path relative to the folder
// the login places the user in; no directory is ever changed (the path goes
// to the server as it is, in one RETR). User names and passwords may hold any
// character: they never pass through a URL.
//
// Time-outs: connecting and logging in may take Options::connectTimeout; once
// a command is sent, a pause of more than Options::receiveTimeout between
// received bytes (server replies or data) fails the request, and so does one
// reply that takes longer than that as a whole (a server that keeps adding
// continuation lines). A file is further held to the floor rate
// (Options::floorRate, see TransferBudget) and its replies to
// CurlSession::kMaxReplyBytes: a data channel that drips ends in bounded time.
//
// With Options::requireTls the control and data connections must be
// protected (explicit TLS, "AUTH TLS"), with the server verified against the
// system's certificate store; a server that does not offer it is refused,
// never used in the clear.
//
// On false, every call leaves the server, the path and the reason (never the
// password) in LastError, with the server's last reply line when one came
// ("530 Login incorrect.").
//
// Thread: one thread at a time (the object may move between threads when the
// caller orders the calls). Not copyable.
class FtpClient {
 public:
  static constexpr uint32_t kDefaultPort = 21;
  static constexpr uint64_t kDefaultMaxFileBytes = uint64_t{4} << 30;

  struct Options {
    std::chrono::milliseconds connectTimeout{10000};
    std::chrono::milliseconds receiveTimeout{30000};
    uint64_t maxFileBytes = kDefaultMaxFileBytes;
    uint64_t floorRate = TransferBudget::kDefaultFloorRate;  // bytes per second
    bool requireTls = false;
  };

  // host: a name, an IPv4 address, or an IPv6 address with or without
  // brackets; no scheme, port or path. port 0: kDefaultPort. An empty user
  // logs in anonymously. Nothing is sent before Login() or Retrieve().
  FtpClient(std::string host, uint32_t port, std::string user, std::string password);
  FtpClient(std::string host, uint32_t port, std::string user, std::string password, const Options& options);
  ~FtpClient();
  FtpClient(const FtpClient&) = delete;
  FtpClient& operator=(const FtpClient&) = delete;

  // false when the host or port is malformed or libcurl could not be set up;
  // every request then fails (the reason is in LastError after construction).
  bool IsUsable() const { return m_usable; }
  // "ftp://host:port/", the base of every request.
  const std::string& Endpoint() const { return m_endpoint; }

  // Connects and logs in; true when the server accepted the user and password.
  bool Login();

  // Fetches remotePath (relative, '/'-separated, not empty) into localPath,
  // whose folder must exist. The file arrives under a temporary name beside
  // localPath and replaces it only when complete: on failure an existing
  // local file stays as it was. A file longer than maxFileBytes fails.
  bool Retrieve(const std::string& remotePath, const std::string& localPath);

  // The limit that ended the last Retrieve() or Login(), kNone when none did.
  LimitHit LastLimit() const { return m_limit; }

  void SetMaxFileBytes(uint64_t bytes) { m_options.maxFileBytes = bytes; }

 private:
  std::string m_host;
  uint32_t m_port;
  std::string m_user;
  std::string m_password;
  Options m_options;
  std::unique_ptr<CurlSession> m_session;
  std::string m_endpoint;
  bool m_usable = false;
  LimitHit m_limit = LimitHit::kNone;
};

}  // namespace qrv::platform
