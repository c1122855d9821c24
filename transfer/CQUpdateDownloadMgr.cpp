#include "transfer/CQUpdateDownloadMgr.h"

#include <sys/stat.h>

#include <filesystem>

#include "app/MessageService.h"
#include "platform/core/Diagnostics.h"
#include "transfer/CQUpdateTransferFile.h"
#include "transfer/CQUpdateTransferFtp.h"
#include "transfer/CQUpdateTransferHttp.h"
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
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec || !std::filesystem::is_directory(folder, ec)) {
    platform::Diagnostics::Report("cannot create the download folder " + folder + ": " +
                                  (ec ? ec.message() : std::string("a file is in the way")));
    MessageService::Current().Show(kStringInvalidDownloadPath, MessageService::kOk);
    return {};
  }

  // Keep the previous information file under the date of the last update.
  std::string info = TransferPath::Join(folder, "qupdate_s.ini");
  std::string backup = info + std::to_string(static_cast<int32_t>(m_env.GetLastUpdate()));
  struct stat st {};
  if (lstat(info.c_str(), &st) == 0) {
    if (lstat(backup.c_str(), &st) == 0) {
      chmod(backup.c_str(), (st.st_mode & 07777) | S_IWUSR);
      std::filesystem::remove(backup, ec);
    }
    std::filesystem::rename(info, backup, ec);
    if (ec) platform::Diagnostics::Report("cannot keep " + info + " as " + backup + ": " + ec.message());
  }

  return m_transport->GetUpdateInfoFile(folder) == 1 ? info : std::string();
}

void CQUpdateDownloadMgr::DownloadInfoFile(const std::string& product) { m_transport->DownloadInfoFile(product); }

int CQUpdateDownloadMgr::DownloadUpdateFiles(std::vector<std::string>& products) {
  if (GetInfoFilePath().empty()) return 0;
  return m_transport->DownloadListedFiles(products);
}

std::string CQUpdateDownloadMgr::GetInfoFilePath() const {
  return TransferPath::Join(m_env.GetDownloadPath(1), "qupdate_s.ini");
}

void CQUpdateDownloadMgr::Cancel() { m_transport->Cancel(); }

}  // namespace qrv
