#include "apply/ListedFilesDownload.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <set>

#include "apply/SignatureVerification.h"
#include "apply/UpdateFiles.h"
#include "apply/UpdateLog.h"
#include "apply/UpdateLogWriter.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/DisplayText.h"
#include "platform/core/MessageService.h"
#include "platform/core/PrivateFolder.h"
#include "platform/core/UniqueFd.h"
#include "platform/core/RefusedName.h"
#include "platform/core/UpdateProgress.h"
#include "platform/profile/ProfileFile.h"
#include "platform/thread/WorkerThread.h"
#include "transfer/CQUpdateDownloadMgr.h"
#include "transfer/CQUpdateTransferMgr.h"
#include "transfer/TransferPath.h"
#include "res/StringIds.h"

namespace qrv {
namespace {

// Puts everything the download wrote on disk: the copy phase of a resumed
// run unpacks the cabinets and reads the product files and the update
// information that state 12 says are here, so they must survive a power cut
// as much as the log and the state do. One flush of the file system holding
// the folder costs a fraction of one flush per file.
// Starts writing a fetched file to disk without waiting, so that the flush
// at the end of the download finds little left to do: the disk works while
// the next files are fetched.
void StartWriteBack(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;  // the flush at the end reports what matters
  sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  close(fd);
}

// Waits until path (a file, or a folder and so its entries) is on disk.
void FlushToDisk(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) platform::Diagnostics::Report("cannot open " + path + " to flush it: " + std::strerror(errno));
    return;
  }
  if (fdatasync(fd) != 0) platform::Diagnostics::Report("cannot flush " + path + " to disk: " + std::strerror(errno));
  close(fd);
}

#ifdef QRV_TEST_HOOKS
// Crash-and-resume tests end the process after this many files of a
// download were fetched and checked, before the log that lists them is
// written, as a power cut would. Test builds only.
void KillAfterFetchedFileForTests() {
  static int fetched = 0;
  const char* after = std::getenv("QRVUPDATE_TEST_KILL_AFTER_FILES");
  if (after != nullptr && ++fetched == std::atoi(after)) std::raise(SIGKILL);
}
#endif

DownloadResult FolderFailed(const std::string& reason) {
  platform::Diagnostics::Report(reason);
  platform::MessageService::Current().Show(kStringInvalidDownloadPath, platform::MessageService::kOk);
  return DownloadResult::kFolderFailed;
}

}  // namespace

DownloadResult ListedFilesDownload::DownloadUpdateFiles(CQUpdateDownloadMgr& manager,
                                                        std::vector<std::string>& products) {
  if (manager.GetInfoFilePath().empty()) return DownloadResult::kFolderFailed;
  return DownloadListedFiles(products);
}

DownloadResult ListedFilesDownload::DownloadListedFiles(std::vector<std::string>& products) {
  m_transport.SetCancelFlag(0);
  m_signatureRefused = false;
  m_fileFailed = false;
  m_droppedProducts.clear();
  m_written.clear();
  m_folder = UpdateFiles::DownloadFolder();
  // The folder may have changed hands since the information was fetched.
  if (std::string error; !UpdateFiles::PrepareDownloadFolder(error)) {
    return FolderFailed("the download folder cannot be used: " + error);
  }
  UpdateFiles::MoveAside(UpdateFiles::LogPath());
  // The log is written once, when the download ends, not per entry: only
  // what the run left when it returns is read (by the copy phase, or by a
  // resumed run, which finds state 12 only after that write is on disk; a
  // run that stops before it starts afresh and sets the log aside). An
  // early return writes it through the writer's destructor.
  UpdateLogWriter log(UpdateFiles::LogPath());

  platform::UpdateProgress& progress = platform::UpdateProgress::Current();
  uint32_t errors = 0;
  uint32_t handled = 0;
  bool stopped = false;
  size_t i = 0;
  while (i < products.size()) {
    if (m_transport.CancelFlag() != 0) {
      stopped = true;
      break;
    }
    const std::string product = products[i];
    if (m_transport.Prepare(product) == 0) return DownloadResult::kPrepareFailed;
    UpdateFiles::MoveAside(UpdateFiles::ProductFilePath(product));
    // A product file longer than the signed information lists is cut off
    // there and refused, not dropped: it is an attack, not a server fault.
    const uint64_t listedSize = m_info->ProductFileSize(product);
    m_transport.SetFileCap(listedSize);
    const bool fetched = m_transport.DownloadFile(m_folder, product + ".ini") == 1;
    m_transport.SetFileCap(0);
    if (!fetched && listedSize != 0 && m_transport.SizeCapHit()) {
      m_info->RefuseMismatch(product + ".ini", "the server sent more than the " + std::to_string(listedSize) +
                                                   " bytes listed for it");
      RefuseSigned();
      stopped = true;
      break;
    }
    if (!fetched) {
      // The others go on without it, but the run must not pass for a
      // complete one: the product is named in the progress and kept in
      // DroppedProducts() for the window to report.
      const std::string& why = m_transport.LastFailure();
      platform::Diagnostics::Report("product " + product + " is not updated: its product file " + product +
                                    ".ini cannot be fetched" + (why.empty() ? std::string() : " (" + why + ")"));
      progress.NotifyProgressText(platform::ProgressKind::kDropped, product, 0);
      m_droppedProducts.push_back(product);
      products.erase(products.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    if (!m_info->AcceptProductFile(m_transport, m_folder, product)) {
      RefuseSigned();
      stopped = true;
      break;
    }
    handled = static_cast<uint32_t>(i) + 1;
    progress.NotifyProductStatus(product, platform::ProgressKind::kDownloading);
    std::vector<std::string> features;
    UpdateFiles::FeatureNames(product, features);
    for (const std::string& feature : features) {
      if (m_transport.CancelFlag() != 0) break;
      progress.NotifyProgressText(platform::ProgressKind::kDownloading, feature, 0);
      log.WriteLogProduct(product, static_cast<uint32_t>(i));
      if (!FetchFeature(product, feature, log, errors)) return DownloadResult::kFolderFailed;
    }
    if (m_transport.CancelFlag() != 0) {
      stopped = true;
      break;
    }
    ++i;
  }

  DownloadResult result = DownloadResult::kDone;
  if (stopped) {
    result = m_signatureRefused ? DownloadResult::kSignatureRefused
             : m_fileFailed     ? DownloadResult::kFileFailed
                                : DownloadResult::kCancelled;
  } else {
    handled = static_cast<uint32_t>(products.size());
  }
  // The transports flush nothing file by file (that cost a disk round trip
  // per file). The copy phase of a resumed run unpacks the cabinets and reads
  // the product files and the information that state 12 says are here, so
  // all of them, and the folders that name them, reach the disk here, before
  // the log that lists them (whose write flushes the download folder itself).
  // Their write-back started as each was fetched, so this mostly waits for
  // the last ones.
  std::set<std::string> folders;
  m_written.push_back(UpdateFiles::InfoPath());
  for (size_t k = 0; k < handled && k < products.size(); ++k) m_written.push_back(UpdateFiles::ProductFilePath(products[k]));
  for (const std::string& path : m_written) folders.insert(path.substr(0, path.rfind('/')));
  folders.erase(m_folder.substr(0, m_folder.size() - 1));
  // The waits for the disk run on a worker, so a window keeps answering.
  platform::WorkerThread::Run([this, &folders] {
    for (const std::string& path : m_written) FlushToDisk(path);
    for (const std::string& folder : folders) FlushToDisk(folder);
    return 1u;
  });
  log.WriteLogCount("PRODUCTLIST", handled, UpdateLog::kCount);
  log.Flush();
  return result;
}

void ListedFilesDownload::RefuseSigned() {
  m_signatureRefused = true;
  m_transport.SetCancelFlag(1);
}

bool ListedFilesDownload::FetchFeature(const std::string& product, const std::string& feature, UpdateLogWriter& log,
                                       uint32_t& errors) {
  platform::UpdateProgress& progress = platform::UpdateProgress::Current();
  const std::string productFile = UpdateFiles::ProductFilePath(product);
  const uint32_t count = platform::ProfileFile::GetInt(productFile, product, feature + "COUNT", 0);
  uint32_t n = 0;
  for (uint32_t j = 0; j < count; ++j) {
    const std::string relative = platform::ProfileFile::GetString(
        productFile, product, feature + std::to_string(static_cast<int32_t>(j)) + "FILE", "-");
    std::string normal;
    // An absolute or climbing name could write outside the download folder;
    // it is never fetched and counts as a failed file.
    const bool safe = TransferPath::Normalise(relative, normal);
    const std::string local = m_folder + (safe ? normal : relative);
    if (std::string error; safe && !platform::PrivateFolder::MakeFoldersBelow(m_folder, normal, error)) {
      FolderFailed(error);
      return false;
    }
    if (!safe) {
      const std::string why = platform::RefusedName::Reason(relative);
      platform::Diagnostics::Report("not fetching \"" + platform::DisplayText::Escape(relative) + "\" listed for " +
                                    feature + ": " +
                                    (why.empty() ? std::string("the name is not a safe file name") : why));
    }
    auto refuse = [&] {
      RefuseSigned();
      log.WriteLogEntry(feature, relative, n, UpdateLog::kSignError, local);
      ++errors;
    };
    std::optional<SignedUpdateInfo::ListedFile> listed;
    if (safe && !m_info->ListedFileOf(productFile, product, feature, j, listed)) {
      refuse();
      break;
    }
    // Whatever the server sends beyond the listed size is never taken in.
    if (listed) m_transport.SetFileCap(listed->size);
    const bool fetched = safe && m_transport.DownloadFile(m_folder, relative) == 1;
    m_transport.SetFileCap(0);
    if (!fetched && listed && m_transport.SizeCapHit()) {
      m_info->RefuseMismatch(relative, "the server sent more than the " + std::to_string(listed->size) +
                                           " bytes listed for it");
      refuse();
      break;
    }
    if (fetched) {
      // The check of a large cabinet takes tens of milliseconds: on a worker,
      // so the window that waits keeps answering meanwhile. Size, hash and
      // signature are checked on one open file.
      std::string reason;
      bool mismatch = false;
      const uint32_t verified = platform::WorkerThread::Run([&local, &reason, &listed, &mismatch] {
        const int fd = open(local.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
          reason = "cannot open " + local + ": " + std::strerror(errno);
          return 0u;
        }
        const platform::UniqueFd closeFd(fd);
        if (listed && !SignedUpdateInfo::MatchesOpenFile(fd, *listed, local, reason)) {
          mismatch = true;
          return 0u;
        }
        return VerifyOpenFileSignature(fd, local, &reason, nullptr, nullptr) == 1 ? 1u : 0u;
      });
      if (mismatch) m_info->RefuseMismatch(relative, reason);
      if (verified == 1) {
        StartWriteBack(local);
        m_written.push_back(local);
        log.WriteLogEntry(feature, relative, n, UpdateLog::kFile, local);
        if (listed) {
          const std::string key = "FILE" + std::to_string(static_cast<int32_t>(n));
          log.WriteLogValue(feature, key + "SIZE", std::to_string(listed->size));
          log.WriteLogValue(feature, key + "SHA256", listed->sha256);
        }
#ifdef QRV_TEST_HOOKS
        KillAfterFetchedFileForTests();
#endif
      } else {
        platform::Diagnostics::Report(reason);
        refuse();
      }
      ++n;
    } else {
      m_fileFailed = true;
      m_transport.SetCancelFlag(1);
      log.WriteLogEntry(feature, relative, errors, UpdateLog::kError, local);
      ++errors;
    }
    progress.NotifyProgressText(platform::ProgressKind::kDownloading, relative, n);
    if (m_transport.CancelFlag() != 0) break;
  }
  log.WriteLogCount(feature, n, UpdateLog::kCount);
  log.WriteLogCount(feature, errors, UpdateLog::kErrorCount);
  log.WriteLogCount(feature, 0, UpdateLog::kSkipCount);
  return true;
}

}  // namespace qrv
