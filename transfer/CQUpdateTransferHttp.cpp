#include "transfer/CQUpdateTransferHttp.h"

#include <sys/stat.h>

#include <chrono>

#include "platform/core/LastError.h"
#include "platform/net/HttpClient.h"
#include "platform/net/UrlEncoding.h"
#include "platform/thread/WorkerThread.h"
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

namespace {

// The update service and the file server may answer slowly (or a byte at a
// time until the transfer's floor rate gives up): each request runs on a
// worker while the calling thread, a window's, goes on servicing its events.
std::string QueryPumped(const std::string& service, const std::string& product, const std::string& pidkey) {
  std::string location;
  platform::WorkerThread::Run([&] {
    location = QueryDownloadUrl(service, product, pidkey);
    return location.empty() ? 0u : 1u;
  });
  return location;
}

}  // namespace

CQUpdateTransferHttp::CQUpdateTransferHttp(const tagSERVERINFO& info)
    : m_baseUrl(QueryPumped(info.path, "Tarnsoft", "")) {
  if (m_baseUrl.empty()) {
    SetFailure(platform::LastError::Text());
    return;
  }
  platform::HttpClient::Options options;
  options.receiveTimeout = std::chrono::milliseconds(kReceiveTimeoutMs);
  options.floorRate = m_limits.FloorRate();
  auto session = std::make_unique<platform::HttpClient>(options);
  if (session->IsUsable()) {
    m_session = std::move(session);
  } else {
    SetFailure(platform::LastError::Text());
  }
}

CQUpdateTransferHttp::~CQUpdateTransferHttp() = default;

uint32_t CQUpdateTransferHttp::Connect() {
  if (m_session == nullptr) {
    SetFailure("cannot connect: the HTTP transport has no download location from the update service");
    return 0;
  }
  platform::WorkerThread::Run([this] {
    std::string ignored;
    m_session->GetToMemory(m_baseUrl, kConnectProbeBytes, ignored);
    return 1u;
  });
  if (m_session->LastStatus() == 0) {
    SetFailure(platform::LastError::Text());
    return 0;
  }
  return 1;
}

CQUpdateTransferMgr::ThreadProc CQUpdateTransferHttp::GetThreadProc() { return &CQUpdateTransferHttp::Worker; }

uint32_t CQUpdateTransferHttp::Prepare(const std::string& product) {
  std::string location = QueryPumped(m_env.GetServerPath(), product, m_env.GetPidkey(product));
  if (location.empty()) {
    SetFailure(platform::LastError::Text());
    return 0;
  }
  m_baseUrl = location;
  return 1;
}

int CQUpdateTransferHttp::Download(const std::string& folder, const std::string& fileName) {
  m_statusCode = 0;
  m_limitHit = false;
  std::string name = TransferPath::SlashSeparated(fileName);
  std::string local = TransferPath::Join(folder, name);
  if (m_session == nullptr) {
    SetFailure("cannot fetch \"" + fileName + "\": the HTTP transport has no download location from the update service");
    return 0;
  }
  std::string refused;
  if (m_limits.RefusedBefore(name, refused)) {
    m_limitHit = true;
    SetFailure(refused);
    return 0;
  }
  std::string url = TransferPath::SlashSeparated(m_baseUrl);
  if (url.empty() || url.back() != '/') url += '/';
  url += platform::UrlEncoding::EncodePath(name);

  m_session->SetMaxFileBytes(FileCap(name));
  bool ok = m_session->GetToFile(url, local);
  m_statusCode = m_session->LastStatus();
  if (ok) return 1;
  platform::LimitHit limit = m_session->LastLimit();
  m_limitHit = limit != platform::LimitHit::kNone;
  if (limit == platform::LimitHit::kSize) {
    m_limits.NoteRefused(name, platform::LastError::Text());
    NoteSizeCapHit();
  }
  SetFailure(platform::LastError::Text());
  return 0;
}

uint32_t CQUpdateTransferHttp::Worker(WorkerParams* params) {
  auto* self = static_cast<CQUpdateTransferHttp*>(params->owner);
  int result = self->Download(params->folder, params->fileName);
  // An update file is never empty: an empty one is taken for a passing fault
  // of the server (a mirror being filled) and asked for again. The
  // update-information file may legitimately be empty. A file refused by a
  // limit is not: asking again would only take as long again. Nor is a
  // missing signature (NAME.p7s): an old server has none, and asking for it
  // again at every information file would slow every run against it.
  constexpr std::string_view kSignatureSuffix = ".p7s";
  const bool signature = params->fileName.size() > kSignatureSuffix.size() &&
                         params->fileName.compare(params->fileName.size() - kSignatureSuffix.size(),
                                                  kSignatureSuffix.size(), kSignatureSuffix) == 0;
  if (params->fileName != CQUpdateMgrEnv::kInfoFileName && !signature) {
    std::string local = TransferPath::Join(params->folder, params->fileName);
    for (int i = 0; i < kMaxRefetches && !self->m_limitHit && IsEmptyOrMissing(local); ++i) {
      result = self->Download(params->folder, params->fileName);
    }
  }
  return result == 1 ? 1 : 0;
}

}  // namespace qrv
