#include "transfer/CQUpdateTransferMgr.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "app/MessageService.h"
#include "apply/SignatureVerification.h"
#include "apply/UpdateFiles.h"
#include "apply/UpdateLog.h"
#include "apply/UpdateProgress.h"
#include "platform/core/Diagnostics.h"
#include "platform/profile/ProfileFile.h"
#include "platform/thread/WorkerThread.h"
#include "transfer/TransferPath.h"

namespace qrv {
namespace {

// Shown when a folder of the download folder cannot be made.
constexpr uint32_t kStringInvalidDownloadPath = 140;

// Makes every missing folder of relative (below folder), from the top down.
// False with a diagnostic naming the folder when one cannot be made.
bool MakeFolders(const std::string& folder, const std::string& relative) {
  for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1)) {
    std::string path = folder + relative.substr(0, slash);
    if (mkdir(path.c_str(), 0755) == 0) continue;
    int err = errno;
    struct stat st {};
    if (err == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    platform::Diagnostics::Report("cannot create the download folder " + path + ": " +
                                  (err == EEXIST ? std::string("a file is in the way") : std::strerror(err)));
    return false;
  }
  return true;
}

}  // namespace

CQUpdateTransferMgr::CQUpdateTransferMgr() : m_serverPath(m_env.GetServerPath()) {}

CQUpdateTransferMgr::~CQUpdateTransferMgr() = default;

uint32_t CQUpdateTransferMgr::Connect() { return 1; }

CQUpdateTransferMgr::ThreadProc CQUpdateTransferMgr::GetThreadProc() { return nullptr; }

uint32_t CQUpdateTransferMgr::Prepare(const std::string& /*product*/) { return 1; }

void CQUpdateTransferMgr::Cancel() { m_cancel.store(1); }

int CQUpdateTransferMgr::DownloadFile(const std::string& folder, const std::string& fileName) {
  WorkerParams params;
  params.owner = this;
  params.folder = folder;
  // A name from a server file decides where a file lands; one that could
  // leave the folder is refused like a file that cannot be fetched.
  if (folder.empty() || !TransferPath::Normalise(fileName, params.fileName)) return 0;

  // A read-only copy left by an earlier run must not block the new one.
  std::string local = TransferPath::Join(folder, params.fileName);
  struct stat st {};
  if (lstat(local.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0) {
    chmod(local.c_str(), (st.st_mode & 07777) | S_IWUSR);
  }

  ThreadProc proc = GetThreadProc();
  if (proc == nullptr) return 0;
  uint32_t code = platform::WorkerThread::Run([proc, &params] { return proc(&params); });
  return code == 1 ? 1 : 0;
}

int CQUpdateTransferMgr::GetUpdateInfoFile(const std::string& folder) {
  if (Prepare("Tarnsoft") == 0) return 0;
  m_cancel.store(0);
  return DownloadFile(folder, "qupdate_s.ini");
}

void CQUpdateTransferMgr::DownloadInfoFile(const std::string& product) {
  std::string folder = m_env.GetDownloadPath(1);
  std::string infoPath = platform::ProfileFile::GetString(TransferPath::Join(folder, "qupdate_s.ini"),
                                                           "UPDATEINFOPATH", product, "");
  m_cancel.store(0);
  if (!infoPath.empty()) DownloadFile(folder, infoPath);
}

int CQUpdateTransferMgr::DownloadListedFiles(std::vector<std::string>& products) {
  m_cancel.store(0);
  m_stopReasonA.store(0);
  m_stopReasonB.store(0);
  UpdateFiles::MoveAside(UpdateFiles::LogPath());

  UpdateProgress& progress = UpdateProgress::Current();
  const std::string folder = UpdateFiles::DownloadFolder();
  uint32_t errors = 0;
  uint32_t handled = 0;
  bool stopped = false;
  size_t i = 0;
  while (i < products.size()) {
    if (m_cancel.load() != 0) {
      stopped = true;
      break;
    }
    const std::string product = products[i];
    if (Prepare(product) == 0) return 4;
    const std::string productFile = UpdateFiles::ProductFilePath(product);
    UpdateFiles::MoveAside(productFile);
    if (DownloadFile(folder, product + ".ini") != 1) {
      // The server has nothing for it: the next product takes its place.
      products.erase(products.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    handled = static_cast<uint32_t>(i) + 1;
    progress.NotifyProductStatus(product, UpdateProgress::kDownloading);
    std::vector<std::string> features;
    UpdateFiles::FeatureNames(product, features);
    for (const std::string& feature : features) {
      if (m_cancel.load() != 0) break;
      progress.NotifyProgressText(UpdateProgress::kDownloading, feature, 0);
      const uint32_t count = platform::ProfileFile::GetInt(productFile, product, feature + "COUNT", 0);
      UpdateLog::WriteLogProduct(product, static_cast<uint32_t>(i));
      uint32_t n = 0;
      for (uint32_t j = 0; j < count; ++j) {
        const std::string relative = platform::ProfileFile::GetString(
            productFile, product, feature + std::to_string(static_cast<int32_t>(j)) + "FILE", "-");
        std::string normal;
        // An absolute or climbing name could write outside the download
        // folder; it is never fetched and counts as a failed file.
        const bool safe = TransferPath::Normalise(relative, normal);
        const std::string local = folder + (safe ? normal : relative);
        if (safe && !MakeFolders(folder, normal)) {
          MessageService::Current().Show(kStringInvalidDownloadPath, MessageService::kOk);
          return 0;
        }
        if (!safe) {
          platform::Diagnostics::Report("not fetching \"" + relative + "\" listed for " + feature +
                                        ": the name leaves the download folder");
        }
        if (safe && DownloadFile(folder, relative) == 1) {
          std::string reason;
          if (VerifyFileSignature(local, &reason, nullptr) == 1) {
            UpdateLog::WriteLogEntry(feature, relative, n, UpdateLog::kFile, local);
          } else {
            platform::Diagnostics::Report(reason);
            m_stopReasonA.store(1);
            m_cancel.store(1);
            UpdateLog::WriteLogEntry(feature, relative, n, UpdateLog::kSignError, local);
            ++errors;
          }
          ++n;
        } else {
          m_stopReasonB.store(1);
          m_cancel.store(1);
          UpdateLog::WriteLogEntry(feature, relative, errors, UpdateLog::kError, local);
          ++errors;
        }
        progress.NotifyProgressText(UpdateProgress::kDownloading, relative, n);
        if (m_cancel.load() != 0) break;
      }
      UpdateLog::WriteLogCount(feature, n, UpdateLog::kCount);
      UpdateLog::WriteLogCount(feature, errors, UpdateLog::kErrorCount);
      UpdateLog::WriteLogCount(feature, 0, UpdateLog::kSkipCount);
    }
    if (m_cancel.load() != 0) {
      stopped = true;
      break;
    }
    ++i;
  }

  int result = 1;
  if (stopped) result = m_stopReasonA.load() != 0 ? 5 : m_stopReasonB.load() != 0 ? 6 : 2;
  if (!stopped) handled = static_cast<uint32_t>(products.size());
  UpdateLog::WriteLogCount("PRODUCTLIST", handled, UpdateLog::kCount);
  return result;
}

}  // namespace qrv
