#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/CQUpdateMgrEnv.h"
#include "config/tagSERVERINFO.h"
#include "transfer/CQUpdateTransferMgr.h"

namespace qrv {

// The one object through which the program reaches the update server: picks
// the transport for the server setting (2 network folder, 3 FTP, anything
// else HTTP) and offers the steps of a run that touch the server.
//
// Thread: the user-interface thread; the transport runs its own workers.
// Owns its transport; one manager serves one update run or one settings test.
class CQUpdateDownloadMgr {
 public:
  // The active setting of the store (an empty path falls back to the default
  // server path).
  CQUpdateDownloadMgr();
  // The given setting as it is (to test settings before they are saved).
  explicit CQUpdateDownloadMgr(const tagSERVERINFO& server);
  virtual ~CQUpdateDownloadMgr();
  CQUpdateDownloadMgr(const CQUpdateDownloadMgr&) = delete;
  CQUpdateDownloadMgr& operator=(const CQUpdateDownloadMgr&) = delete;

  // The transport's answer unchanged: 1 usable, 0 not, 147 network folder
  // without update information.
  uint32_t Connect();
  // Keeps the previous qupdate_s.ini as qupdate_s.ini<LastUpdate> and fetches
  // a fresh one; its full path, or empty on failure (the previous file stays
  // under its backup name). A download folder that cannot be made or is not
  // private (platform::PrivateFolder) shows message 140, gives empty and
  // sets FolderRefused().
  std::string GetUpdateInfo();
  bool FolderRefused() const { return m_folderRefused; }
  void DownloadInfoFile(const std::string& product);
  // GetDownloadPath(1) + "qupdate_s.ini".
  std::string GetInfoFilePath() const;
  void Cancel();

  const tagSERVERINFO& Server() const { return m_server; }
  CQUpdateTransferMgr& Transport() { return *m_transport; }
  const CQUpdateTransferMgr& Transport() const { return *m_transport; }

 private:
  static std::unique_ptr<CQUpdateTransferMgr> MakeTransport(const tagSERVERINFO& server);

  CQUpdateMgrEnv m_env;
  tagSERVERINFO m_server;
  std::unique_ptr<CQUpdateTransferMgr> m_transport;
  bool m_folderRefused = false;
};

}  // namespace qrv
