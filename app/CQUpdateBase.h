#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/UpdateState.h"
#include "apply/CQUpdateApplier.h"
#include "apply/SignedUpdateInfo.h"
#include "config/tagUPDATETYPE.h"
#include "platform/core/ProgressKind.h"

namespace qrv {

class CQUpdateDlgMgr;
class CQUpdateDownloadMgr;
class StandByWindow;

// The update engine: the work of each phase of a run, the product list of
// pending updates, the download manager and the file replacement engine.
// Only CQUpdateBaseProcess is ever made; this part holds the work, that one
// the singleton and the window.
//
// The window is reached through Window() (null before the process object
// has one: notifications then go nowhere).
//
// Thread: the user-interface thread, except SetRestartRequired, which the
// unpacking worker may call.
class CQUpdateBase {
 public:
  // The product list holds at most this many records.
  static constexpr size_t kMaxProducts = 256;
  // Download result code of StartDownload when the server cannot be reached.
  static constexpr int32_t kResultNoConnection = 3;

  // When restartRequired is set, asks whether to restart now (OK/Cancel) and
  // restarts on OK; then deletes the download manager.
  virtual ~CQUpdateBase();

  void SetAutoMode(uint32_t mode) { m_autoMode = mode; }
  uint32_t IsAutoMode() const { return m_autoMode; }
  // What ShowStandBy makes; none (the default) shows nothing.
  void SetStandByFactory(std::function<std::unique_ptr<StandByWindow>()> factory);
  void ShowStandBy();
  void CloseStandBy();
  // How the automatic run ends the process after a failed download; the
  // default is std::exit. Tests and front-ends with their own shutdown
  // replace it.
  void SetEndProcess(std::function<void(int)> endProcess);
  // Ends the process as set above (std::exit without a setting).
  void EndProcess(int code);

  // How the last QueryUpdates ended: the list was filled, nothing is
  // pending, the server could not be reached, or the answer could not be
  // had (download folder refused, information not fetched or empty, store
  // damaged, information refused by SignedUpdateInfo, which showed its
  // message; PrepareFailure() says why).
  enum class PrepareOutcome { kFound, kNothingPending, kUnreachable, kFailed };

  // Builds the product list of pending updates; 1 when there is one, 0 when
  // there is nothing to do or the server could not tell (PrepareOutcome()).
  int32_t QueryUpdates();
  PrepareOutcome LastPrepareOutcome() const { return m_prepareOutcome; }
  // Why the last QueryUpdates could not tell; empty when it could.
  const std::string& PrepareFailure() const { return m_prepareFailure; }
  std::vector<tagUPDATETYPE>* GetUpdateTypes() { return &m_updateTypes; }

  // Where an automatic run goes on, by the UpdateState the last run left:
  // 12 and 23 to the copy, 21 to the copy after the half-replaced files of
  // the interrupted copy are put back (done here), 22, 31, 32 and 41 to the
  // finalize phase, anything else to a fresh prepare. Every automatic
  // front-end starts with this, so an interrupted run ends the same way
  // whichever of them resumes it.
  enum class ResumePoint { kPrepare, kCopy, kFinalize };
  ResumePoint ResumeInterruptedRun();

  // The display name of a product record (its key when it has none).
  std::string ProductName(const std::string& product) const;
  // One report per registry store that cannot be used; empty when every
  // store is sound. A damaged store reads as empty, which would otherwise
  // pass for "no server set" or "nothing pending". Reads only.
  static std::vector<std::string> DamagedStores();
  // Files listed under COUNT of qupdate_s.ini for the products of the list.
  int32_t GetTotalFileCount() const;
  int32_t DownloadProducts(std::vector<std::string>& products);
  // Connect, transfer and report to the window; the download result code
  // (1 done, 3 no connection, other codes of the transfer layer).
  int32_t StartDownload(std::vector<std::string>& products);
  // 0 failed, 1 done, 2 cancelled.
  int32_t CopyFiles();
  int32_t ApplyActions();
  int32_t CompleteUpdate();
  void EndUpdateState(int32_t aborted);
  void SetUpdateState(UpdateState state);
  void CancelDownload();
  // The window that drove the run has gone (killed, its session ended): a
  // download in progress stops and the stored state stays as the run left
  // it, so the next automatic start takes it up; a copy in progress goes on
  // to its end and is recorded (a copy is never left half done).
  void AbandonRun();
  bool Abandoned() const { return m_abandoned; }
  void CancelCopy();
  // Puts back the levels the copy recorded (CQUpdateApplier::Rollback);
  // asked while CopyFiles runs, it is done when the applier has stopped.
  int32_t RollbackCopy(uint32_t flag);
  void SetRestartRequired(uint32_t flag) { m_restartRequired.store(flag); }
  uint32_t RestartRequired() const { return m_restartRequired.load(); }
  void RecordLastUpdate();
  int32_t CommitUpdate();
  int32_t CleanDownloads();
  // Fetches the product's update-content file; the outcome is not reported.
  void LoadUpdateContent(const std::string& product);

  // The products the last download left out because their product file
  // could not be fetched (each shown with message 180); empty when none.
  // A run that dropped one does not record LastUpdate, so the next
  // automatic run tries again.
  const std::vector<std::string>& DroppedProducts() const { return m_droppedProducts; }
  // Why the last copy failed (the cabinet or folder and the reason); empty
  // when it did not.
  const std::string& CopyFailureReason() const { return m_copyFailureReason; }

  // Forwarded to the window.
  void NotifyProgressText(platform::ProgressKind kind, std::string_view file, uint32_t value);
  void NotifyProductStatus(const std::string& product, platform::ProgressKind kind);
  void StepProgressBack();
  void SetProgressRange(uint32_t count);

  // The edition ordering of QueryUpdates on its own: for each label, newest
  // first, the records whose display name holds it, then the rest; a record
  // with two labels comes twice.
  static std::vector<tagUPDATETYPE> OrderByEdition(const std::vector<tagUPDATETYPE>& records);

 protected:
  CQUpdateBase() = default;
  CQUpdateBase(const CQUpdateBase&) = delete;
  CQUpdateBase& operator=(const CQUpdateBase&) = delete;
  // The window's orchestrator part, or null.
  virtual CQUpdateDlgMgr* Window() const = 0;
  // Names each product the last download dropped in message
  // 180 and puts back the LastUpdate an automatic prepare recorded.
  void ReportDroppedProducts();

  std::unique_ptr<CQUpdateDownloadMgr> m_downloadMgr;
  // What the last QueryUpdates accepted the information with; the download
  // holds the product and listed files to it.
  SignedUpdateInfo m_signedInfo;
  CQUpdateApplier m_applier;
  std::vector<tagUPDATETYPE> m_updateTypes;
  std::atomic<uint32_t> m_restartRequired{0};
  std::unique_ptr<StandByWindow> m_standBy;
  uint32_t m_autoMode = 0;

 private:
  std::function<std::unique_ptr<StandByWindow>()> m_standByFactory;
  std::function<void(int)> m_endProcess;
  std::vector<std::string> m_droppedProducts;
  std::string m_copyFailureReason;
  PrepareOutcome m_prepareOutcome = PrepareOutcome::kNothingPending;
  // Set while the applier runs (a cancel may arrive from the event pump).
  bool m_copying = false;
  bool m_rollbackPending = false;
  // CancelDownload was asked since the download started (from the pump).
  bool m_downloadCancelled = false;
  bool m_abandoned = false;
  std::string m_prepareFailure;
  // LastUpdate as it was before an automatic prepare recorded today, so a
  // run that leaves a product out can put it back; kMissing-like sentinel
  // when prepare recorded nothing.
  uint32_t m_lastUpdateBefore = 0xFFFFFFFFu;
  bool m_lastUpdateRecorded = false;
};

}  // namespace qrv
