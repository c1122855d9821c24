#include "transfer/CQUpdateDownloadMgr.h"

#include "platform/core/MessageService.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/PrivateFolder.h"
#include "transfer/CQUpdateTransferFile.h"
#include "transfer/CQUpdateTransferFtp.h"
#include "transfer/CQUpdateTransferHttp.h"
#include "res/StringIds.h"
#include "transfer/TransferPath.h"

namespace qrv {

CQUpdateDownloadMgr::CQUpdateDownloadMgr() : m_server(m_env.GetServerInfo()) {
  if (m_server.path.empty()) m_server.path = m_env.GetServerPath();
  m_transport = MakeTransport(m_server);
}

CQUpdateDownloadMgr::CQUpdateDownloadMgr(const tagSERVERINFO& server)
    : m_server(server), m_transport(MakeTransport(server)) {}

CQUpdateDownloadMgr::~CQUpdateDownloadMgr() = default;

std::unique_ptr<CQUpdateTransferMgr> CQUpdateDownloadMgr::MakeTransport(const tagSERVERINFO& server) {
  switch (server.type) {
    case kServerTypeNetwork:
      return std::make_unique<CQUpdateTransferFile>(server);
    case kServerTypeFtp:
      return std::make_unique<CQUpdateTransferFtp>(server);
    default:
      return std::make_unique<CQUpdateTransferHttp>(server);
  }
}

uint32_t CQUpdateDownloadMgr::Connect() { return m_transport->Connect(); }

std::string CQUpdateDownloadMgr::GetUpdateInfo() {
  std::string folder = m_env.GetDownloadPath(1);
  // Fetched files wait here to be verified and unpacked: a folder that
  // anyone else could write to, or swap, is refused rather than used.
  std::string error;
  m_folderRefused = false;
  if (!platform::PrivateFolder::Ensure(folder, error)) {
    m_folderRefused = true;
    m_transport->SetFailure("the download folder cannot be used: " + error);
    platform::MessageService::Current().Show(kStringInvalidDownloadPath, platform::MessageService::kOk);
    return {};
  }

  // Keep the previous information file under the date of the last update.
  const std::string aside = std::string(CQUpdateMgrEnv::kInfoFileName) + std::to_string(static_cast<int32_t>(m_env.GetLastUpdate()));
  if (!platform::PrivateFolder::MoveAside(folder, std::string(CQUpdateMgrEnv::kInfoFileName), aside, error)) {
    platform::Diagnostics::Report(error);
  }

  std::string info = TransferPath::Join(folder, std::string(CQUpdateMgrEnv::kInfoFileName));
  return m_transport->GetUpdateInfoFile(folder) == 1 ? info : std::string();
}

void CQUpdateDownloadMgr::DownloadInfoFile(const std::string& product) { m_transport->DownloadInfoFile(product); }

std::string CQUpdateDownloadMgr::GetInfoFilePath() const {
  return TransferPath::Join(m_env.GetDownloadPath(1), std::string(CQUpdateMgrEnv::kInfoFileName));
}

void CQUpdateDownloadMgr::Cancel() { m_transport->Cancel(); }

}  // namespace qrv
