#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/CQUpdateBase.h"
#include "app/UpdateState.h"
#include "config/tagSERVERINFO.h"
#include "config/tagUPDATETYPE.h"

namespace qrv {

// Everything a window (and the launcher) asks of the update engine and its
// settings store: the work of the run's phases, what the run has found, the
// files of the download folder the window shows, and the settings dialog's
// reads and writes. The windows reach the engine only through this, so the
// engine may live in this process (LocalUpdateEngine, the process object
// itself) or in a privileged service the windows talk to (the remote
// implementation); both behave alike, down to the notifications the engine
// sends back to the window while a call runs.
//
// Calls nest: a phase operation (StartDownload, CopyFiles, ...) calls the
// window's notifications before it returns, and those may call back in
// (a cancel during a download, the finalize from the copy's end).
//
// Values that the engine keeps (GetUpdateTypes, DroppedProducts,
// CopyFailureReason) are valid until the next call that changes them.
//
// Failures: a remote engine that cannot be reached answers as a run that
// failed (0, empty, PrepareOutcome::kFailed with the reason in
// PrepareFailure) and reports the reason to the diagnostics; it never throws.
//
// Thread: the user-interface thread.
class UpdateEngine {
 public:
  virtual ~UpdateEngine() = default;

  // The engine the windows of this process use: the process object's (see
  // CQUpdateBaseProcess::Engine), or, when no process object exists, an
  // in-process engine without a run (settings and files only).
  static UpdateEngine& Current();

  // --- the run (see CQUpdateBase for each) ---
  virtual void SetAutoMode(uint32_t mode) = 0;
  virtual int32_t QueryUpdates() = 0;
  virtual CQUpdateBase::PrepareOutcome LastPrepareOutcome() = 0;
  virtual std::string PrepareFailure() = 0;
  virtual std::vector<tagUPDATETYPE>* GetUpdateTypes() = 0;
  virtual CQUpdateBase::ResumePoint ResumeInterruptedRun() = 0;
  virtual std::string ProductName(const std::string& product) = 0;
  virtual int32_t GetTotalFileCount() = 0;
  virtual int32_t StartDownload(std::vector<std::string>& products) = 0;
  virtual int32_t CopyFiles() = 0;
  virtual int32_t ApplyActions() = 0;
  virtual int32_t CompleteUpdate() = 0;
  virtual void EndUpdateState(int32_t aborted) = 0;
  virtual void SetUpdateState(UpdateState state) = 0;
  virtual void CancelDownload() = 0;
  virtual void CancelCopy() = 0;
  virtual int32_t RollbackCopy(uint32_t flag) = 0;
  virtual void LoadUpdateContent(const std::string& product) = 0;
  virtual const std::vector<std::string>& DroppedProducts() = 0;
  virtual const std::string& CopyFailureReason() = 0;
  virtual void RecordLastUpdate() = 0;
  // Whether the update needs a restart to finish (files queued for the next
  // start); the question is asked when the engine's run ends.
  virtual uint32_t RestartRequired() = 0;

  // --- the store and the download folder ---
  // UpdateState as the last run left it.
  virtual UpdateState StoredUpdateState() = 0;
  // Whether an automatic (automatic = true) or interactive run is due now.
  virtual bool IsUpdateDue(bool automatic) = 0;
  // One report per registry store that cannot be used; empty when sound.
  virtual std::vector<std::string> DamagedStores() = 0;
  // The products product depends on, as qupdate_s.ini lists them
  // ("A|B|C"); empty when none.
  virtual std::string UpdateDependency(const std::string& product) = 0;
  // The fetched update-content file of product, at most maxBytes of it;
  // truncated says there was more. false (bytes empty) when there is none,
  // it is no regular file of the download folder, it cannot be read, or it
  // is not what the update information lists for it (size and SHA-256).
  virtual bool ReadUpdateContent(const std::string& product, size_t maxBytes, std::string& bytes,
                                 bool& truncated) = 0;
  // Records the finished download in the update log; false with the reason
  // in the diagnostics when it cannot.
  virtual bool RecordDownloadFinished() = 0;
  // NorthAmerica = 1 below the execution options: the window hides its
  // home-page button.
  virtual bool HomepageHidden() = 0;

  // --- settings (see CQUpdateMgrEnv; the password in plain text) ---
  virtual uint32_t IsAutoUpdate() = 0;
  virtual void SetAutoUpdate(uint32_t value) = 0;
  virtual uint32_t GetTerm() = 0;
  virtual void SetTerm(uint32_t value) = 0;
  virtual std::string GetDownloadPath() = 0;
  virtual void SetDownloadPath(const std::string& path) = 0;
  virtual std::string GetServerPath() = 0;
  virtual std::string GetDefaultServerPath() = 0;
  virtual tagSERVERINFO GetServerInfo() = 0;
  virtual void SetServerInfo(const tagSERVERINFO& info) = 0;
  virtual void SaveServerInfoByType(const tagSERVERINFO& info) = 0;
  virtual void SelectServerType(uint32_t type) = 0;
  virtual void ResetServerInfo() = 0;
  // Connects to server as a run would: the transport's Connect result (0
  // none, 1 connected, CQUpdateTransferFile::kConnectNoUpdateInfo ...).
  // Runs while the caller's events keep flowing.
  virtual uint32_t TestConnection(const tagSERVERINFO& server) = 0;
  // Whether a run would accept folder/QRVDownload as its download folder;
  // whatever the test made is gone again afterwards.
  virtual bool TestDownloadFolder(const std::string& folder) = 0;
  // Writes (on) or removes the start-at-log-on entry; false with the
  // reason in error.
  virtual bool SetLogOnEntry(bool on, std::string& error) = 0;
};

}  // namespace qrv
