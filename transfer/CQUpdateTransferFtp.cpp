#include "transfer/CQUpdateTransferFtp.h"

#include <strings.h>

#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/core/LastError.h"
#include "platform/net/FtpClient.h"
#include "transfer/TransferPath.h"

namespace qrv {
namespace {

bool DropPrefix(std::string& text, std::string_view prefix) {
  if (text.size() < prefix.size() || strncasecmp(text.c_str(), prefix.data(), prefix.size()) != 0) return false;
  text.erase(0, prefix.size());
  return true;
}


}  // namespace

CQUpdateTransferFtp::CQUpdateTransferFtp(const tagSERVERINFO& info) : m_host(info.path) {
  platform::FtpClient::Options options;
  options.floorRate = m_limits.FloorRate();
  if (!DropPrefix(m_host, "ftp://")) options.requireTls = DropPrefix(m_host, "ftps://");
  while (!m_host.empty() && m_host.back() == '/') m_host.pop_back();

  auto connection = std::make_unique<platform::FtpClient>(m_host, info.port, info.user, info.password, options);
  if (connection->IsUsable() && connection->Login()) {
    m_connection = std::move(connection);
  } else {
    m_loginFailure = platform::LastError::Text();
    SetFailure(m_loginFailure);
  }
}

CQUpdateTransferFtp::~CQUpdateTransferFtp() = default;

uint32_t CQUpdateTransferFtp::Connect() {
  if (m_connection == nullptr) {
    SetFailure("cannot connect: not logged in to FTP server " + m_host + ": " + m_loginFailure);
    return 0;
  }
  return Download(std::string(CQUpdateMgrEnv::kInfoFileName), m_env.GetDownloadPath(1)) == 1 ? 1 : 0;
}

CQUpdateTransferMgr::ThreadProc CQUpdateTransferFtp::GetThreadProc() { return &CQUpdateTransferFtp::Worker; }

int CQUpdateTransferFtp::Download(const std::string& remoteName, const std::string& localFolder) {
  // Only the folder given is made; subfolders of the name must exist.
  std::error_code ignored;
  std::filesystem::create_directories(localFolder, ignored);

  std::string remotePath = TransferPath::SlashSeparated(remoteName);
  std::string local = TransferPath::Join(localFolder, remotePath);
  if (m_connection == nullptr) {
    SetFailure("cannot fetch \"" + remoteName + "\": not logged in to FTP server " + m_host);
    return 0;
  }
  std::string refused;
  if (m_limits.RefusedBefore(remotePath, refused)) {
    SetFailure(refused);
    return 0;
  }
  m_connection->SetMaxFileBytes(FileCap(remotePath));
  if (m_connection->Retrieve(remotePath, local)) return 1;
  if (m_connection->LastLimit() == platform::LimitHit::kSize) {
    m_limits.NoteRefused(remotePath, platform::LastError::Text());
    NoteSizeCapHit();
  }
  SetFailure(platform::LastError::Text());
  return 0;
}

uint32_t CQUpdateTransferFtp::Worker(WorkerParams* params) {
  auto* self = static_cast<CQUpdateTransferFtp*>(params->owner);
  return self->Download(params->fileName, params->folder) == 1 ? 1 : 0;
}

}  // namespace qrv
