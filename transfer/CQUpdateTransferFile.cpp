#include "transfer/CQUpdateTransferFile.h"

#include "platform/core/LastError.h"
#include "transfer/TransferPath.h"

namespace qrv {
namespace {

using platform::NetworkFolder;

// The logon results that leave the folder usable. Besides success these are
// the "already connected" answers: the device or name is in use or
// remembered, or the server is reached with other credentials (a network
// mount, whose own credentials apply).
bool LogonDone(uint32_t code) {
  return code == NetworkFolder::kNoError || code == NetworkFolder::kAlreadyAssigned ||
         code == NetworkFolder::kDeviceAlreadyRemembered || code == NetworkFolder::kSessionCredentialConflict;
}

}  // namespace

CQUpdateTransferFile::CQUpdateTransferFile(const tagSERVERINFO& info)
    : m_info(info), m_folder(m_info.path, m_info.user, m_info.password, m_info.port) {}

CQUpdateTransferFile::CQUpdateTransferFile(const tagSERVERINFO& info, platform::MountTable mounts)
    : m_info(info), m_folder(m_info.path, m_info.user, m_info.password, m_info.port, std::move(mounts)) {}

CQUpdateTransferFile::~CQUpdateTransferFile() = default;

uint32_t CQUpdateTransferFile::Connect() {
  m_logonResult = m_folder.LogOn();
  if (!LogonDone(m_logonResult)) {
    SetFailure(platform::LastError::Text());
    return 0;
  }
  if (!m_folder.HasFile("qupdate_s.ini")) {
    SetFailure("no qupdate_s.ini in the network folder " + m_info.path + ": " + platform::LastError::Text());
    return kConnectNoUpdateInfo;
  }
  SetFailure({});
  return 1;
}

CQUpdateTransferMgr::ThreadProc CQUpdateTransferFile::GetThreadProc() { return &CopyWorker; }

uint32_t CQUpdateTransferFile::CopyWorker(WorkerParams* params) {
  auto* self = static_cast<CQUpdateTransferFile*>(params->owner);
  // The name is relative with '/' separators (checked by DownloadFile); a
  // subfolder in it must already exist below the download folder.
  std::string target = TransferPath::Join(params->folder, params->fileName);
  if (!self->m_folder.CopyFile(params->fileName, target)) {
    self->SetFailure(platform::LastError::Text());
    return 0;
  }
  self->SetFailure({});
  return 1;
}

std::string CQUpdateTransferFile::LastFailure() const {
  std::lock_guard lock(m_failureLock);
  return m_lastFailure;
}

void CQUpdateTransferFile::SetFailure(std::string text) {
  std::lock_guard lock(m_failureLock);
  m_lastFailure = std::move(text);
}

}  // namespace qrv
