#include "app/CQUpdateBase.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "app/CQUpdateDlgMgr.h"
#include "platform/core/MessageService.h"
#include "app/StandByWindow.h"
#include "app/UpdateSchedule.h"
#include "apply/CQUpdateActions.h"
#include "apply/ListedFilesDownload.h"
#include "apply/SystemServices.h"
#include "apply/UpdateFiles.h"
#include "config/CQUpdateMgrEnv.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/LastError.h"
#include "platform/core/PrivateFolder.h"
#include "platform/profile/ProfileFile.h"
#include "platform/registry/RegistryStore.h"
#include "res/Editions.h"
#include "transfer/CQUpdateDownloadMgr.h"
#include "res/StringIds.h"

namespace qrv {

namespace {

// Message box buttons OK and Cancel.
constexpr uint32_t kButtonsOkCancel = 1;
// Version texts from the update-information file are shown in a column
// that never held more than 255 characters.
constexpr uint32_t kVersionTextChars = 256;
constexpr std::string_view kSelfPrefix = "QrvUpdate";

bool IsSelf(const tagUPDATETYPE& record) { return record.product.compare(0, kSelfPrefix.size(), kSelfPrefix) == 0; }

// The leading decimal integer of text; anything else counts 0.
int32_t LeadingNumber(const std::string& text) {
  int64_t value = 0;
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value < INT32_MAX; ++i) {
    value = value * 10 + (text[i] - '0');
  }
  value = std::min<int64_t>(value, INT32_MAX);
  return static_cast<int32_t>(negative ? -value : value);
}

}  // namespace

CQUpdateBase::~CQUpdateBase() {
  if (m_restartRequired.load() != 0 &&
      platform::MessageService::Current().Show(kStringRestartQuestion, kButtonsOkCancel) == platform::MessageService::kAnswerOk) {
    if (RestartSystem() == 0) {
      platform::Diagnostics::Report("cannot restart the system: " + platform::LastError::Text());
      platform::MessageService::Current().Show(kStringRestartFailed, platform::MessageService::kOk);
    }
  }
  m_standBy.reset();
  m_downloadMgr.reset();
}

void CQUpdateBase::SetStandByFactory(std::function<std::unique_ptr<StandByWindow>()> factory) {
  m_standByFactory = std::move(factory);
}

void CQUpdateBase::ShowStandBy() {
  if (!m_standByFactory) return;
  m_standBy = m_standByFactory();
  if (m_standBy) m_standBy->Advance();
}

void CQUpdateBase::CloseStandBy() { m_standBy.reset(); }

void CQUpdateBase::SetEndProcess(std::function<void(int)> endProcess) { m_endProcess = std::move(endProcess); }

void CQUpdateBase::EndProcess(int code) {
  if (m_endProcess) {
    m_endProcess(code);
  } else {
    std::exit(code);
  }
}

int32_t CQUpdateBase::QueryUpdates() {
  // A fresh manager per query: the server setting may have changed since the
  // last one, and the transport keeps per-query state.
  m_downloadMgr.reset();
  m_downloadMgr = std::make_unique<CQUpdateDownloadMgr>();
  m_signedInfo = SignedUpdateInfo();
  m_updateTypes.clear();
  m_prepareOutcome = PrepareOutcome::kFailed;
  m_prepareFailure.clear();

  // A damaged store reads as empty settings, which would look like a server
  // that cannot be reached or has nothing; say what is really wrong.
  if (const std::string damage = platform::RegistryStore::DamageReport(platform::kRootLocalMachine);
      !damage.empty()) {
    platform::Diagnostics::Report(damage);
    platform::MessageService::Current().ShowWith(kStringStoreDamaged, damage, platform::MessageService::kOk);
    m_prepareFailure = damage;
    return 0;
  }

  const CQUpdateTransferMgr& transport = m_downloadMgr->Transport();
  if (m_downloadMgr->Connect() != 1) {
    m_prepareOutcome = PrepareOutcome::kUnreachable;
    m_prepareFailure = transport.LastFailure().empty() ? "the update server cannot be reached"
                                                       : transport.LastFailure();
    return 0;
  }
  const std::string info = m_downloadMgr->GetUpdateInfo();
  if (info.empty()) {
    // "Nothing pending" must never hide a server that did not answer.
    m_prepareFailure = transport.LastFailure().empty() ? "qupdate_s.ini cannot be fetched from the update server"
                                                       : transport.LastFailure();
    if (m_autoMode == 0 && !m_downloadMgr->FolderRefused()) {
      platform::MessageService::Current().Show(kStringNoUpdateInfo, platform::MessageService::kOk);
    }
    return 0;
  }
  struct stat st {};
  if (stat(info.c_str(), &st) != 0 || st.st_size == 0) {
    m_prepareFailure = "the update information " + info + " is missing or empty";
    platform::Diagnostics::Report(m_prepareFailure);
    if (m_autoMode == 0) platform::MessageService::Current().Show(kStringNoUpdateInfo, platform::MessageService::kOk);
    return 0;
  }
  // Unsigned, forged, older or frozen information is refused before anything
  // in it is used; the refusal shows its own message in every mode.
  if (!m_signedInfo.AcceptInfo(m_downloadMgr->Transport(), UpdateFiles::DownloadFolder())) {
    m_prepareFailure = m_signedInfo.Reason();
    return 0;
  }
  m_prepareOutcome = PrepareOutcome::kNothingPending;

  CQUpdateMgrEnv env;
  env.GetInstalledProducts(m_updateTypes, CQUpdateUtilRegistry::kMainKey);

  for (size_t i = 0; i < m_updateTypes.size();) {
    if (m_autoMode == 0 && m_standBy) m_standBy->Advance();
    tagUPDATETYPE& record = m_updateTypes[i];
    const std::string latestText =
        platform::ProfileFile::GetString(info, "VersionInfo", record.product, "-", kVersionTextChars);
    const uint32_t latest = platform::ProfileFile::GetInt(info, "UpdateVersionInfo", record.product, -1);
    uint32_t installed = env.GetProductVersion(record.product);
    if (installed == CQUpdateMgrEnv::kMissing) installed = 0;
    if (latest == CQUpdateMgrEnv::kMissing || static_cast<int32_t>(latest) <= static_cast<int32_t>(installed)) {
      m_updateTypes.erase(m_updateTypes.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    record.latestVersion = latestText;
    ++i;
  }
  // The limit is on what the list shows, so a pending product that stands
  // after many installed ones is still offered.
  if (m_updateTypes.size() > kMaxProducts) {
    platform::Diagnostics::Report("only the first " + std::to_string(kMaxProducts) + " of " +
                                  std::to_string(m_updateTypes.size()) + " pending products are offered");
    m_updateTypes.resize(kMaxProducts);
  }

  // The updater updates itself before anything else: a new updater may be
  // needed to apply the other products' updates correctly.
  if (std::any_of(m_updateTypes.begin(), m_updateTypes.end(), IsSelf)) {
    std::erase_if(m_updateTypes, [](const tagUPDATETYPE& r) { return !IsSelf(r); });
    // Two updater records are the old and the new updater's keys; only the
    // later one is to be fetched.
    if (m_updateTypes.size() == 2) m_updateTypes.erase(m_updateTypes.begin());
  }

  if (m_updateTypes.empty()) return 0;
  m_prepareOutcome = PrepareOutcome::kFound;
  if (m_autoMode != 0) {
    m_lastUpdateBefore = env.GetLastUpdate();
    m_lastUpdateRecorded = true;
    RecordLastUpdate();
  }
  m_updateTypes = OrderByEdition(m_updateTypes);
  return 1;
}

std::vector<tagUPDATETYPE> CQUpdateBase::OrderByEdition(const std::vector<tagUPDATETYPE>& records) {
  std::vector<tagUPDATETYPE> ordered;
  std::vector<bool> matched(records.size(), false);
  for (std::string_view label : Editions::NewestFirst()) {
    for (size_t i = 0; i < records.size(); ++i) {
      if (records[i].productName.find(label) != std::string::npos) {
        ordered.push_back(records[i]);
        matched[i] = true;
      }
    }
  }
  for (size_t i = 0; i < records.size(); ++i) {
    if (!matched[i]) ordered.push_back(records[i]);
  }
  return ordered;
}

CQUpdateBase::ResumePoint CQUpdateBase::ResumeInterruptedRun() {
  switch (static_cast<UpdateState>(CQUpdateMgrEnv().GetUpdateState())) {
    case UpdateState::kCopyBegun:
      // The copy was interrupted: its half-replaced files go back first.
      RollbackCopy(0);
      return ResumePoint::kCopy;
    case UpdateState::kDownloaded:
    case UpdateState::kCopyFailed: return ResumePoint::kCopy;
    case UpdateState::kCopied:
    case UpdateState::kActionsBegun:
    case UpdateState::kActionsDone:
    case UpdateState::kCommitBegun: return ResumePoint::kFinalize;
    default: return ResumePoint::kPrepare;
  }
}

std::string CQUpdateBase::ProductName(const std::string& product) const {
  return CQUpdateMgrEnv().GetProductName(product);
}

std::vector<std::string> CQUpdateBase::DamagedStores() {
  std::vector<std::string> reports;
  for (uint32_t root = 0; root < platform::kRootCount; ++root) {
    std::string report = platform::RegistryStore::DamageReport(root);
    if (!report.empty()) reports.push_back(std::move(report));
  }
  return reports;
}

int32_t CQUpdateBase::GetTotalFileCount() const {
  const std::string info = UpdateFiles::InfoPath();
  int64_t total = 0;
  for (const tagUPDATETYPE& record : m_updateTypes) {
    total += LeadingNumber(platform::ProfileFile::GetString(info, "COUNT", record.product, "-", kVersionTextChars));
  }
  return static_cast<int32_t>(std::clamp<int64_t>(total, INT32_MIN, INT32_MAX));
}

int32_t CQUpdateBase::DownloadProducts(std::vector<std::string>& products) {
  if (GetTotalFileCount() <= 0 || !m_downloadMgr) return 0;
  ListedFilesDownload download(m_downloadMgr->Transport());
  download.UseSignedInfo(&m_signedInfo);
  const DownloadResult result = download.DownloadUpdateFiles(*m_downloadMgr, products);
  m_droppedProducts = download.DroppedProducts();
  return ToCode(result);
}

int32_t CQUpdateBase::StartDownload(std::vector<std::string>& products) {
  if (!m_downloadMgr) m_downloadMgr = std::make_unique<CQUpdateDownloadMgr>();
  m_droppedProducts.clear();
  m_downloadCancelled = false;
  if (m_downloadMgr->Connect() != 1) return kResultNoConnection;
  SetUpdateState(UpdateState::kDownloadBegun);
  if (CQUpdateDlgMgr* window = Window()) window->OnFileTransferBegin();

  int32_t result = DownloadProducts(products);
  ReportDroppedProducts();
  // A stop the user confirmed after the last file was fetched (while it was
  // checked or flushed, or while a box was up) is still a stop: the run must
  // not go on to the copy, nor leave state 12 for a resumed run to copy.
  if (result == 1 && m_downloadCancelled) result = ToCode(DownloadResult::kCancelled);
  // Nobody is left to be told, and the stored state is what the next
  // automatic start resumes from.
  if (m_abandoned) return result;
  if (result == 1) {
    SetUpdateState(UpdateState::kDownloaded);
    if (CQUpdateDlgMgr* window = Window()) window->OnFileTransferFinish();
    return 1;
  }
  if (result == 2 || result == 5 || result == 6) {
    if (m_autoMode == 0) {
      SetUpdateState(result == 5 ? UpdateState::kSignatureFailed : UpdateState::kDownloadFailed);
      return result;
    }
    // Nobody watches an automatic run: start clean next time.
    SetUpdateState(UpdateState::kDone);
    CleanDownloads();
    EndProcess(1);
    return result;
  }
  SetUpdateState(m_autoMode == 0 ? UpdateState::kDownloadFailed : UpdateState::kDone);
  if (CQUpdateDlgMgr* window = Window()) window->OnFileTransferError(result);
  return result;
}

void CQUpdateBase::ReportDroppedProducts() {
  if (m_droppedProducts.empty()) return;
  CQUpdateMgrEnv env;
  for (const std::string& product : m_droppedProducts) {
    platform::MessageService::Current().ShowWith(kStringProductNotUpdated, env.GetProductName(product), platform::MessageService::kOk);
  }
  // The schedule must not count this run as done: the next automatic run
  // offers the products again.
  if (m_lastUpdateRecorded && env.SetLastUpdate(m_lastUpdateBefore) == 0) {
    platform::Diagnostics::Report("cannot put LastUpdate back to " +
                                  std::to_string(static_cast<int32_t>(m_lastUpdateBefore)) + ": " +
                                  platform::LastError::Text());
  }
}

int32_t CQUpdateBase::CopyFiles() {
  // A copy the user stopped may be started again in the same process (the
  // automatic run waits for a click after it): that stop is not this copy's.
  m_applier.ClearCancel();
  SetUpdateState(UpdateState::kCopyBegun);
  m_copyFailureReason.clear();
  // A resumed run finds the folder as the last one left it: whoever could
  // have written to it since must not get a file unpacked.
  if (std::string error; !UpdateFiles::PrepareDownloadFolder(error)) {
    m_copyFailureReason = "the download folder cannot be used: " + error;
    platform::Diagnostics::Report(m_copyFailureReason);
    platform::MessageService::Current().Show(kStringInvalidDownloadPath, platform::MessageService::kOk);
    SetUpdateState(UpdateState::kCopyFailed);
    if (CQUpdateDlgMgr* window = Window()) window->OnFileCopyError();
    return ToCode(CopyResult::kFailed);
  }
  if (CQUpdateDlgMgr* window = Window()) window->OnFileCopyBegin();
  m_copying = true;
  m_rollbackPending = false;
  const CopyResult result = m_applier.ApplyUpdates();
  m_copying = false;
  // A rollback asked for while the copy ran waits until the applier has
  // stopped: done at once, it would undo the levels recorded so far while
  // the product being copied still recorded its own afterwards.
  if (m_rollbackPending) {
    m_rollbackPending = false;
    platform::Diagnostics::Report("the copy was cancelled; the update levels this run recorded are rolled back");
    m_applier.Rollback(1);
  }
  if (result == CopyResult::kFailed || result == CopyResult::kCancelled) {
    if (result == CopyResult::kFailed) m_copyFailureReason = m_applier.FailureReason();
    SetUpdateState(UpdateState::kCopyFailed);
    // What was queued for the next start belongs to the copy being undone.
    m_restartRequired.store(0);
    if (result == CopyResult::kFailed) {
      if (CQUpdateDlgMgr* window = Window()) window->OnFileCopyError();
    }
    return ToCode(result);
  }
  SetUpdateState(UpdateState::kCopied);
  if (CQUpdateDlgMgr* window = Window()) window->OnFileCopyFinish();
  return ToCode(result);
}

int32_t CQUpdateBase::ApplyActions() {
  SetUpdateState(UpdateState::kActionsBegun);
  // Shortcuts and program starts go where the products were installed, as
  // known before any registry entry of a product file ran.
  const CQUpdateActions::InstallFolders folders = CQUpdateActions::ReadInstallFolders();
  CQUpdateActions::TakeRefusedCount();
  bool refused = false;
  const std::string log = UpdateFiles::LogPath();
  const auto count = static_cast<int32_t>(platform::ProfileFile::GetInt(log, "PRODUCTLIST", "COUNT", 0));
  for (int32_t i = 0; i < count; ++i) {
    const std::string product =
        platform::ProfileFile::GetString(log, "PRODUCTLIST", "PRODUCT" + std::to_string(i), "", UpdateFiles::kValueChars);
    if (CQUpdateActions::ApplyRegistryAdditions(product) == 0 || CQUpdateActions::ApplyRegistryRemovals(product) == 0) {
      if (CQUpdateDlgMgr* window = Window()) window->OnFinalizeError();
      return 1;
    }
    // A refused entry is reported once for the run; the product's other
    // actions and the other products still go on.
    refused = CQUpdateActions::TakeRefusedCount() != 0 || refused;
    // A missing shortcut is an inconvenience, not a reason to undo an update.
    CQUpdateActions::CreateShortcuts(product, folders);
    CQUpdateActions::DeleteShortcuts(product);
  }
  const bool started = CQUpdateActions::RunStartActions(folders) != 0;
  if (started && !refused) {
    SetUpdateState(UpdateState::kActionsDone);
  } else if (CQUpdateDlgMgr* window = Window()) {
    window->OnFinalizeError();
  }
  return 1;
}

int32_t CQUpdateBase::CompleteUpdate() {
  SetUpdateState(UpdateState::kCommitBegun);
  bool ok = CommitUpdate() != 0;
  if (ok) {
    if (m_droppedProducts.empty()) RecordLastUpdate();
    ok = CleanDownloads() != 0;
  }
  if (ok) {
    SetUpdateState(UpdateState::kCommitted);
  } else if (CQUpdateDlgMgr* window = Window()) {
    window->OnFinalizeError();
  }
  return 1;
}

void CQUpdateBase::EndUpdateState(int32_t aborted) {
  if (aborted == 0) SetUpdateState(UpdateState::kDone);
}

void CQUpdateBase::SetUpdateState(UpdateState state) {
  const auto code = static_cast<uint32_t>(state);
  if (CQUpdateMgrEnv().SetUpdateState(code) == 0) {
    platform::Diagnostics::Report("cannot store UpdateState " + std::to_string(code) + ": " +
                                  platform::LastError::Text());
  }
}

void CQUpdateBase::CancelDownload() {
  m_downloadCancelled = true;
  if (m_downloadMgr) m_downloadMgr->Cancel();
}

void CQUpdateBase::AbandonRun() {
  if (m_abandoned) return;
  m_abandoned = true;
  if (!m_copying) CancelDownload();
}

void CQUpdateBase::CancelCopy() { m_applier.RequestCancel(); }

int32_t CQUpdateBase::RollbackCopy(uint32_t flag) {
  if (m_copying) {
    m_rollbackPending = true;  // CopyFiles rolls back once the applier stops
    return 1;
  }
  return m_applier.Rollback(flag);
}

void CQUpdateBase::RecordLastUpdate() { UpdateSchedule::RecordLastUpdate(); }

int32_t CQUpdateBase::CommitUpdate() { return m_applier.Commit(); }

int32_t CQUpdateBase::CleanDownloads() {
  // Cleaning walks the folder's entries; it must still be ours to walk.
  const std::string folder = UpdateFiles::DownloadFolder();
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 && errno == ENOENT) return 1;
  if (std::string error; !platform::PrivateFolder::Check(folder, error)) {
    platform::Diagnostics::Report("the download folder is not cleaned: " + error);
    return 0;
  }
  return m_applier.CleanDownloadFolder();
}

void CQUpdateBase::LoadUpdateContent(const std::string& product) {
  if (m_downloadMgr) m_downloadMgr->DownloadInfoFile(product);
}

void CQUpdateBase::NotifyProgressText(platform::ProgressKind kind, std::string_view file, uint32_t value) {
  if (CQUpdateDlgMgr* window = Window()) window->SetProgressText(kind, file, value);
}

void CQUpdateBase::NotifyProductStatus(const std::string& product, platform::ProgressKind kind) {
  if (CQUpdateDlgMgr* window = Window()) window->SetProductStatus(product, kind);
}

void CQUpdateBase::StepProgressBack() {
  if (CQUpdateDlgMgr* window = Window()) window->StepProgressBack();
}

void CQUpdateBase::SetProgressRange(uint32_t count) {
  if (CQUpdateDlgMgr* window = Window()) window->SetProgressRange(count);
}

}  // namespace qrv
