#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "config/tagSERVERINFO.h"
#include "transfer/CQUpdateTransferMgr.h"
#include "transfer/TransferLimits.h"

namespace qrv {

namespace platform {
class FtpClient;
}

// The FTP transport (server type 3): update files are fetched from an FTP
// server with the user name and password of the server setting, by paths
// relative to the folder the login places the user in.
//
// Construction logs in once: the record's path is the host name, an
// "ftp://" in front of it is dropped (as are slashes after it), port 0 is
// the FTP default port. "ftps://" in front asks for a protected connection
// (explicit TLS) and refuses a server that does not offer one. A failed login
// leaves the transport unusable for its whole life. The logged-in connection
// serves every file of the run. No Prepare() of its own: the base's applies.
//
// Every file is held to the limits of TransferLimits (its size cap, the
// floor rate, which also bounds a server that answers with endless reply
// lines). Every failure, the login's included, is recorded with its reason
// (server, path, the server's reply) through SetFailure(), which also puts
// it in the trace.
//
// Thread: construction, Connect() and the accessors on the caller's thread;
// Download() on the worker of DownloadFile while the caller waits, or inside
// Connect() (never two at once).
class CQUpdateTransferFtp : public CQUpdateTransferMgr {
 public:
  explicit CQUpdateTransferFtp(const tagSERVERINFO& info);
  ~CQUpdateTransferFtp() override;

  // 0 without a login; else fetches qupdate_s.ini into the download folder
  // (GetDownloadPath(1)) and returns 1 when that worked.
  uint32_t Connect() override;
  ThreadProc GetThreadProc() override;

  // Creates localFolder (with the folders above it; a failure there is not
  // fatal), then fetches remoteName (each backslash run a '/') into
  // localFolder/remoteName. A subfolder named by remoteName must already
  // exist locally. The file replaces an existing one only when complete.
  // A file refused by its size cap is not asked for again by this transport.
  // 1 on success, 0 on failure.
  int Download(const std::string& remoteName, const std::string& localFolder);

  // The host logged in to: the record's path without its scheme.
  const std::string& Host() const { return m_host; }
  bool IsLoggedIn() const { return m_connection != nullptr; }

 private:
  static uint32_t Worker(WorkerParams* params);

  TransferLimits m_limits;
  std::unique_ptr<platform::FtpClient> m_connection;  // null: not logged in
  std::string m_host;
  std::string m_loginFailure;  // why the login of construction failed
};

}  // namespace qrv
