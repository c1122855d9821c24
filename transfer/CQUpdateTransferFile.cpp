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
    : m_info(info), m_folder(m_info.path, m_info.user, m_info.password, m_info.port) {
  m_folder.SetFloorRate(m_limits.FloorRate());
}

CQUpdateTransferFile::CQUpdateTransferFile(const tagSERVERINFO& info, platform::MountTable mounts)
    : m_info(info), m_folder(m_info.path, m_info.user, m_info.password, m_info.port, std::move(mounts)) {
  m_folder.SetFloorRate(m_limits.FloorRate());
}

CQUpdateTransferFile::~CQUpdateTransferFile() = default;

uint32_t CQUpdateTransferFile::Connect() {
  m_logonResult = m_folder.LogOn();
  if (!LogonDone(m_logonResult)) {
    SetFailure(platform::LastError::Text());
    return 0;
  }
  if (!m_folder.HasFile(std::string(CQUpdateMgrEnv::kInfoFileName))) {
    SetFailure("no qupdate_s.ini in the network folder " + m_info.path + ": " + platform::LastError::Text());
    return kConnectNoUpdateInfo;
  }
  return 1;
}

CQUpdateTransferMgr::ThreadProc CQUpdateTransferFile::GetThreadProc() { return &CopyWorker; }

uint32_t CQUpdateTransferFile::CopyWorker(WorkerParams* params) {
  auto* self = static_cast<CQUpdateTransferFile*>(params->owner);
  // The name is relative with '/' separators (checked by DownloadFile); a
  // subfolder in it must already exist below the download folder.
  std::string refused;
  if (self->m_limits.RefusedBefore(params->fileName, refused)) {
    self->SetFailure(refused);
    return 0;
  }
  std::string target = TransferPath::Join(params->folder, params->fileName);
  platform::LimitHit limit = platform::LimitHit::kNone;
  if (!self->m_folder.CopyFile(params->fileName, target, self->FileCap(params->fileName), &limit)) {
    if (limit == platform::LimitHit::kSize) {
      self->m_limits.NoteRefused(params->fileName, platform::LastError::Text());
      self->NoteSizeCapHit();
    }
    self->SetFailure(platform::LastError::Text());
    return 0;
  }
  return 1;
}

}  // namespace qrv
