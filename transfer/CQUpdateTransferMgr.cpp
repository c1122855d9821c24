#include "transfer/CQUpdateTransferMgr.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/MessageService.h"
#include "apply/SignatureVerification.h"
#include "apply/UpdateFiles.h"
#include "apply/UpdateLog.h"
#include "apply/UpdateProgress.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/DisplayText.h"
#include "platform/core/PrivateFolder.h"
#include "platform/core/RefusedName.h"
#include "platform/profile/ProfileFile.h"
#include "platform/thread/WorkerThread.h"
#include "transfer/TransferPath.h"

namespace qrv {
namespace {

// Shown when a folder of the download folder cannot be made.
constexpr uint32_t kStringInvalidDownloadPath = 140;

}  // namespace

CQUpdateTransferMgr::CQUpdateTransferMgr() : m_serverPath(m_env.GetServerPath()) {}

CQUpdateTransferMgr::~CQUpdateTransferMgr() = default;

uint32_t CQUpdateTransferMgr::Connect() { return 1; }

CQUpdateTransferMgr::ThreadProc CQUpdateTransferMgr::GetThreadProc() { return nullptr; }

uint32_t CQUpdateTransferMgr::Prepare(const std::string& /*product*/) { return 1; }

void CQUpdateTransferMgr::Cancel() { m_cancel.store(1); }

void CQUpdateTransferMgr::SetFailure(const std::string& reason) {
  m_lastFailure = reason;
  platform::Diagnostics::Report(reason);
}

int CQUpdateTransferMgr::DownloadFile(const std::string& folder, const std::string& fileName) {
  WorkerParams params;
  params.owner = this;
  params.folder = folder;
  // A name from a server file decides where a file lands; one that could
  // leave the folder is refused like a file that cannot be fetched.
  if (folder.empty() || !TransferPath::Normalise(fileName, params.fileName)) return 0;

  // Whatever stands under the local name (a read-only copy of an earlier
  // run, or a link someone planted) is removed, never opened or changed:
  // the transports then create the file anew.
  std::string local = TransferPath::Join(folder, params.fileName);
  struct stat st {};
  if (lstat(local.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && unlink(local.c_str()) != 0) {
    platform::Diagnostics::Report("cannot remove the old " + local + " before fetching it anew: " +
                                  std::strerror(errno));
    return 0;
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
  m_droppedProducts.clear();
  const std::string folder = UpdateFiles::DownloadFolder();
  // The folder may have changed hands since the information was fetched.
  if (std::string error; !UpdateFiles::PrepareDownloadFolder(error)) {
    SetFailure("the download folder cannot be used: " + error);
    MessageService::Current().Show(kStringInvalidDownloadPath, MessageService::kOk);
    return 0;
  }
  UpdateFiles::MoveAside(UpdateFiles::LogPath());

  UpdateProgress& progress = UpdateProgress::Current();
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
      // The others go on without it, but the run must not pass for a
      // complete one: the product is named in the progress and kept in
      // DroppedProducts() for the window to report.
      platform::Diagnostics::Report("product " + product + " is not updated: its product file " + product +
                                    ".ini cannot be fetched" +
                                    (LastFailure().empty() ? std::string() : " (" + LastFailure() + ")"));
      progress.NotifyProgressText(UpdateProgress::kDropped, product, 0);
      m_droppedProducts.push_back(product);
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
        std::string error;
        if (safe && !platform::PrivateFolder::MakeFoldersBelow(folder, normal, error)) {
          SetFailure(error);
          MessageService::Current().Show(kStringInvalidDownloadPath, MessageService::kOk);
          return 0;
        }
        if (!safe) {
          const std::string why = platform::RefusedName::Reason(relative);
          platform::Diagnostics::Report("not fetching \"" + platform::DisplayText::Escape(relative) + "\" listed for " +
                                        feature + ": " +
                                        (why.empty() ? std::string("the name is not a safe file name") : why));
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
