#include "transfer/CQUpdateTransferHttp.h"

#include <sys/stat.h>

#include <chrono>

#include "platform/core/LastError.h"
#include "platform/net/HttpClient.h"
#include "platform/net/UrlEncoding.h"
#include "transfer/QueryDownloadUrl.h"
#include "transfer/TransferPath.h"

namespace qrv {
namespace {

// Enough of a reply to know the server answered; the rest is not wanted.
constexpr size_t kConnectProbeBytes = 64 * 1024;


// A missing file counts as empty: either way there is nothing to keep.
bool IsEmptyOrMissing(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) != 0 || st.st_size == 0;
}

}  // namespace

CQUpdateTransferHttp::CQUpdateTransferHttp(const tagSERVERINFO& info)
    : m_baseUrl(QueryDownloadUrl(info.path, "Tarnsoft", "")) {
  if (m_baseUrl.empty()) {
    m_lastFailure = platform::LastError::Text();
    return;
  }
  platform::HttpClient::Options options;
  options.receiveTimeout = std::chrono::milliseconds(kReceiveTimeoutMs);
  auto session = std::make_unique<platform::HttpClient>(options);
  if (session->IsUsable()) {
    m_session = std::move(session);
  } else {
    m_lastFailure = platform::LastError::Text();
  }
}

CQUpdateTransferHttp::~CQUpdateTransferHttp() = default;

void CQUpdateTransferHttp::NoteResult(bool ok) {
  if (ok) {
    m_lastFailure.clear();
  } else {
    m_lastFailure = platform::LastError::Text();
  }
}

uint32_t CQUpdateTransferHttp::Connect() {
  if (m_session == nullptr) {
    platform::LastError::Set("the HTTP transport has no download location from the update service");
    NoteResult(false);
    return 0;
  }
  std::string ignored;
  m_session->GetToMemory(m_baseUrl, kConnectProbeBytes, ignored);
  bool answered = m_session->LastStatus() != 0;
  NoteResult(answered);
  return answered ? 1 : 0;
}

CQUpdateTransferMgr::ThreadProc CQUpdateTransferHttp::GetThreadProc() { return &CQUpdateTransferHttp::Worker; }

uint32_t CQUpdateTransferHttp::Prepare(const std::string& product) {
  std::string location = QueryDownloadUrl(m_env.GetServerPath(), product, m_env.GetPidkey(product));
  NoteResult(!location.empty());
  if (location.empty()) return 0;
  m_baseUrl = location;
  return 1;
}

int CQUpdateTransferHttp::Download(const std::string& folder, const std::string& fileName) {
  m_statusCode = 0;
  std::string name = TransferPath::SlashSeparated(fileName);
  std::string local = TransferPath::Join(folder, name);
  if (m_session == nullptr) {
    platform::LastError::Set("cannot fetch \"" + fileName +
                             "\": the HTTP transport has no download location from the update service");
    NoteResult(false);
    return 0;
  }
  std::string url = TransferPath::SlashSeparated(m_baseUrl);
  if (url.empty() || url.back() != '/') url += '/';
  url += platform::UrlEncoding::EncodePath(name);

  bool ok = m_session->GetToFile(url, local);
  m_statusCode = m_session->LastStatus();
  NoteResult(ok);
  return ok ? 1 : 0;
}

uint32_t CQUpdateTransferHttp::Worker(WorkerParams* params) {
  auto* self = static_cast<CQUpdateTransferHttp*>(params->owner);
  int result = self->Download(params->folder, params->fileName);
  // An update file is never empty: an empty one is taken for a passing fault
  // of the server (a mirror being filled) and asked for again. The
  // update-information file may legitimately be empty.
  if (params->fileName != "qupdate_s.ini") {
    std::string local = TransferPath::Join(params->folder, params->fileName);
    for (int i = 0; i < kMaxRefetches && IsEmptyOrMissing(local); ++i) {
      result = self->Download(params->folder, params->fileName);
    }
  }
  return result == 1 ? 1 : 0;
}

}  // namespace qrv
