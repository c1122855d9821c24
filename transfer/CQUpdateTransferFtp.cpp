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
  if (!DropPrefix(m_host, "ftp://")) options.requireTls = DropPrefix(m_host, "ftps://");
  while (!m_host.empty() && m_host.back() == '/') m_host.pop_back();

  auto connection = std::make_unique<platform::FtpClient>(m_host, info.port, info.user, info.password, options);
  bool ok = connection->IsUsable() && connection->Login();
  if (ok) m_connection = std::move(connection);
  NoteResult(ok);
}

CQUpdateTransferFtp::~CQUpdateTransferFtp() = default;

void CQUpdateTransferFtp::NoteResult(bool ok) {
  if (ok) {
    m_lastFailure.clear();
  } else {
    m_lastFailure = platform::LastError::Text();
  }
}

uint32_t CQUpdateTransferFtp::Connect() {
  if (m_connection == nullptr) {
    if (m_lastFailure.empty()) m_lastFailure = "not logged in to FTP server " + m_host;
    return 0;
  }
  return Download("qupdate_s.ini", m_env.GetDownloadPath(1)) == 1 ? 1 : 0;
}

CQUpdateTransferMgr::ThreadProc CQUpdateTransferFtp::GetThreadProc() { return &CQUpdateTransferFtp::Worker; }

int CQUpdateTransferFtp::Download(const std::string& remoteName, const std::string& localFolder) {
  // Only the folder given is made; subfolders of the name must exist.
  std::error_code ignored;
  std::filesystem::create_directories(localFolder, ignored);

  std::string remotePath = TransferPath::SlashSeparated(remoteName);
  std::string local = TransferPath::Join(localFolder, remotePath);
  if (m_connection == nullptr) {
    platform::LastError::Set("cannot fetch \"" + remoteName + "\": not logged in to FTP server " + m_host);
    NoteResult(false);
    return 0;
  }
  bool ok = m_connection->Retrieve(remotePath, local);
  NoteResult(ok);
  return ok ? 1 : 0;
}

uint32_t CQUpdateTransferFtp::Worker(WorkerParams* params) {
  auto* self = static_cast<CQUpdateTransferFtp*>(params->owner);
  return self->Download(params->fileName, params->folder) == 1 ? 1 : 0;
}

}  // namespace qrv
