#pragma once

#include <cstdint>
#include <string>

#include "config/tagSERVERINFO.h"
#include "platform/share/MountTable.h"
#include "platform/share/NetworkFolder.h"
#include "transfer/CQUpdateTransferMgr.h"
#include "transfer/TransferLimits.h"

namespace qrv {

// The transport for server type 2: update files taken from a network folder,
// for sites that mirror them on a file server. The setting's path is a local
// or mounted folder ("/srv/updates", "/mnt/nas/updates"), a share in Windows
// spelling ("\\server\share\updates") or an SMB URL
// ("smb://server[:port]/share/updates"); the setting's port, when not 0, is
// the SMB port of a path that names none. The user and password are those of
// the share; a mounted folder is read with the mount's own credentials.
//
// Files are opened without following links (NetworkFolder), copied with
// private modes and held to the limits of TransferLimits (size cap by the
// file's size before copying, floor rate); a file refused by its size cap is
// not copied again by this transport. Every failure is recorded with its
// reason through SetFailure(), which also puts it in the trace.
//
// Thread: as CQUpdateTransferMgr. Connect runs on the caller's thread, the
// copies of DownloadFile on its worker thread; they share one SMB client,
// whose calls are serialised.
class CQUpdateTransferFile : public CQUpdateTransferMgr {
 public:
  static constexpr uint32_t kConnectNoUpdateInfo = 147;

  // Copies the setting.
  explicit CQUpdateTransferFile(const tagSERVERINFO& info);
  // The same, deciding what a local folder is mounted on from mounts instead
  // of this process's mount table.
  CQUpdateTransferFile(const tagSERVERINFO& info, platform::MountTable mounts);
  // Leaves nothing behind: the SMB client's connection ends with the object.
  ~CQUpdateTransferFile() override;

  // Logs on to the folder with the setting's user and password and looks for
  // qupdate_s.ini in it: 1 when it is there, kConnectNoUpdateInfo (147) when
  // the logon worked but the file is missing, 0 when the logon failed (a
  // wrong password, a missing share or folder, no server, a path that cannot
  // name a folder here, a DFS share). The reason of a 0 or 147 is in
  // LastFailure().
  uint32_t Connect() override;
  // The worker copying folder-relative file names into the download folder.
  ThreadProc GetThreadProc() override;

  // The setting as given; Connect does not rewrite the path, the network
  // form it found is NetworkName().
  const tagSERVERINFO& ServerInfo() const { return m_info; }
  // After Connect: the share URL, or the source behind a network mount
  // ("//nas/updates/sub"); empty for a folder on a local disk.
  std::string NetworkName() const { return m_folder.NetworkName(); }
  // The logon result of the last Connect, in the codes of NetworkFolder.
  uint32_t LogonResult() const { return m_logonResult; }

 private:
  static uint32_t CopyWorker(WorkerParams* params);

  tagSERVERINFO m_info;
  TransferLimits m_limits;
  platform::NetworkFolder m_folder;
  uint32_t m_logonResult = platform::NetworkFolder::kNoError;
};

}  // namespace qrv
