#include "apply/CQUpdateApplier.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <optional>
#include <set>
#include <vector>

#include "apply/FileReplacement.h"
#include "apply/UpdateFiles.h"
#include "apply/UpdateLog.h"
#include "platform/core/UpdateProgress.h"
#include "config/CQUpdateMgrEnv.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/LastError.h"
#include "platform/profile/ProfileFile.h"
#include "platform/registry/RegistryKey.h"
#include "platform/registry/RegistryTransaction.h"
#include "platform/thread/WorkerThread.h"

namespace qrv {
namespace {

using platform::ProfileFile;

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::string Indexed(const char* word, uint32_t index) {
  return word + std::to_string(static_cast<int32_t>(index));
}

// The parts of an absolute path as the system walks them: empty and "."
// parts name the folder they stand in and are dropped. A ".." part is kept
// as it is, since what it climbs to depends on the links on the way, and
// tidying it away by text could name another place than the system reaches.
std::vector<std::string> WalkedParts(const std::string& path) {
  std::vector<std::string> parts;
  for (size_t start = 0; start < path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    start = end + 1;
  }
  return parts;
}

}  // namespace

bool CQUpdateApplier::InsideDownloadFolder(const std::string& cabinet) {
  const std::string folder = UpdateFiles::DownloadFolder();
  if (cabinet.empty() || cabinet.front() != '/' || folder.empty() || folder.front() != '/') return false;
  const std::vector<std::string> folderParts = WalkedParts(folder);
  const std::vector<std::string> cabinetParts = WalkedParts(cabinet);
  if (cabinetParts.size() <= folderParts.size() ||
      !std::equal(folderParts.begin(), folderParts.end(), cabinetParts.begin())) {
    return false;
  }
  // Below the folder a ".." could climb out, through a link or not.
  return std::find(cabinetParts.begin() + static_cast<std::ptrdiff_t>(folderParts.size()), cabinetParts.end(),
                   "..") == cabinetParts.end();
}

void CQUpdateApplier::RecordLevel(const std::string& product, const std::string& infoPath) {
  uint32_t level = ProfileFile::GetInt(infoPath, "UpdateVersionInfo", product, 0);
  // Only the first recording may take the backup: a second one would save
  // the level this run has just written, and Rollback could not go back.
  bool first = m_recorded.insert(Upper(product)).second;
  CQUpdateMgrEnv().SetProductVersion(product, level, first);
}

CopyResult CQUpdateApplier::Fail(std::string reason) {
  platform::Diagnostics::Report(reason);
  m_failure = std::move(reason);
  return CopyResult::kFailed;
}

CopyResult CQUpdateApplier::ApplyUpdates() {
  m_recorded.clear();
  m_failure.clear();
  const std::string logPath = UpdateFiles::LogPath();
  const std::string infoPath = UpdateFiles::InfoPath();
  const uint32_t count = UpdateLog::ProductCount();
  for (uint32_t i = 0; i < count; ++i) {
    const std::string product = UpdateLog::Product(i);
    const CopyResult r = ApplyProduct(product, logPath, infoPath);
    if (r == CopyResult::kCancelled) return CopyResult::kCancelled;
    if (r == CopyResult::kFailed) return CopyResult::kFailed;
    RecordLevel(product, infoPath);
  }
  // A cancel that came while the last product was being copied still
  // counts: the run ends as cancelled, never as finished.
  if (m_cancel.load() != 0) return CopyResult::kCancelled;
  return CopyResult::kDone;
}

CopyResult CQUpdateApplier::ApplyProduct(const std::string& product, const std::string& logPath,
                                  const std::string& /*infoPath: the level is ApplyUpdates' to record*/) {
  platform::UpdateProgress& progress = platform::UpdateProgress::Current();
  progress.SetProgressRange(15);
  m_failure.clear();
  if (m_cancel.load() != 0) return CopyResult::kCancelled;

  {
    platform::RegistryKey key;
    if (product.empty() ||
        platform::RegistryKey::Open(platform::kRootLocalMachine,
                                    std::string(CQUpdateUtilRegistry::kMainKey) + "\\" + product,
                                    platform::RegAccess::kRead, key) != platform::RegStatus::kOk) {
      return CopyResult::kDone;  // not installed here: nothing to apply
    }
  }
  std::vector<std::string> features;
  if (!UpdateFiles::FeatureNames(product, features)) {
    return Fail("update of " + product + " refused: its feature names cannot be built (its key cannot be read, " +
                "or the names joined pass 259 characters)");
  }

  const std::string installFolder = CQUpdateMgrEnv().GetProductPath(product);
  // folders of the installation already cleared of stale temporaries
  std::set<std::string> swept;
  for (const std::string& feature : features) {
    const uint32_t count = ProfileFile::GetInt(logPath, feature, "COUNT", 0);
    for (uint32_t j = 0; j < count; ++j) {
      const std::string file = ProfileFile::GetString(logPath, feature, Indexed("FILE", j), "");
      const std::string cabinet = ProfileFile::GetString(logPath, feature, Indexed("FILE", j) + "TEMPPATH", "");
      progress.NotifyProductStatus(feature, platform::ProgressKind::kCopying);
      progress.NotifyProgressText(platform::ProgressKind::kCopying, product, 0);
      if (!UpdateFiles::IsCabinetName(cabinet)) {
        return Fail("update of " + product + " refused: " + cabinet + " (" + file + " of " + feature +
                    ") is not a cabinet");
      }
      // The log is a plain file in a folder users may write to; a path
      // leading elsewhere must not make us unpack a foreign archive.
      if (!InsideDownloadFolder(cabinet)) {
        return Fail("update of " + product + " refused: " + cabinet + " (" + file + " of " + feature +
                    ") is not inside the download folder " + UpdateFiles::DownloadFolder());
      }
      // Without a known folder the files would land wherever the process
      // stands; the product is refused instead of recorded as updated.
      if (installFolder.empty() || installFolder.front() != '/') {
        return Fail("update of " + product + " refused: its installation folder \"" + installFolder +
                    "\" is not an absolute path");
      }
      // A cabinet unpacked only in part, or not at all, must leave the level
      // where it was, so that the next run offers the update again. Files
      // that merely could not be replaced now are queued for the next start
      // and count as unpacked.
      // What the signed information listed for the file at download time
      // is checked once more on the open file that is unpacked.
      std::optional<SignedUpdateInfo::ListedFile> listed;
      const std::string sha256 = ProfileFile::GetString(logPath, feature, Indexed("FILE", j) + "SHA256", "");
      if (!sha256.empty()) {
        listed = SignedUpdateInfo::ListedFile{
            std::strtoull(ProfileFile::GetString(logPath, feature, Indexed("FILE", j) + "SIZE", "0").c_str(),
                          nullptr, 10),
            sha256};
      }
      std::string failure;
      const uint32_t unpacked =
          platform::WorkerThread::Run([&cabinet, &installFolder, &product, &failure, &swept, &listed] {
            return static_cast<uint32_t>(ExtractCabinetToProduct(cabinet, installFolder, product, &failure, &swept,
                                                                 listed ? &*listed : nullptr));
          });
      if (unpacked == 0) {
        if (failure.empty()) failure = "cannot unpack " + cabinet + " for " + product;
        return Fail("update of " + product + " failed: " + failure);
      }
    }
  }
  return CopyResult::kDone;
}

int CQUpdateApplier::Commit() {
  CQUpdateMgrEnv env;
  const uint32_t count = UpdateLog::ProductCount();
  // every product's backup in one store transaction, one flush to disk
  platform::RegistryTransaction transaction;
  const bool together = transaction.Begin(platform::kRootLocalMachine) == platform::RegStatus::kOk;
  for (uint32_t i = 0; i < count; ++i) env.DeleteProductVersionBak(UpdateLog::Product(i));
  if (together && transaction.Commit() != platform::RegStatus::kOk) {
    platform::Diagnostics::Report("cannot delete the ProductVersion_Bak values of the updated products: " +
                                  platform::LastError::Text());
  }
  return 1;
}

int CQUpdateApplier::Rollback(uint32_t /*flag*/) {
  CQUpdateMgrEnv env;
  const uint32_t count = UpdateLog::ProductCount();
  for (uint32_t i = 0; i < count; ++i) platform::UpdateProgress::Current().NotifyProductStatus("", platform::ProgressKind::kCancelling);
  // all products' levels back in one store transaction, so a crash leaves
  // either all of them or none rolled back (a resumed run rolls back again)
  platform::RegistryTransaction transaction;
  const bool together = transaction.Begin(platform::kRootLocalMachine) == platform::RegStatus::kOk;
  for (uint32_t i = 0; i < count; ++i) {
    const std::string product = UpdateLog::Product(i);
    const uint32_t backup = env.GetProductVersionBak(product);
    // A missing backup reads as 0xFFFFFFFF, negative as a signed number.
    if (static_cast<int32_t>(backup) >= 0) env.SetProductVersion(product, backup, false);
    env.DeleteProductVersionBak(product);
  }
  if (together && transaction.Commit() != platform::RegStatus::kOk) {
    platform::Diagnostics::Report("cannot put back the update levels of the products: " +
                                  platform::LastError::Text());
  }
  return 1;
}

int CQUpdateApplier::CleanDownloadFolder() {
  CleanFolder(UpdateFiles::DownloadFolder());
  return 1;
}

}  // namespace qrv
