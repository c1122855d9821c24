#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/UpdatePhase.h"
#include "platform/core/ProgressKind.h"
#include "apply/CQUpdateTraceFile.h"
#include "config/tagUPDATETYPE.h"

namespace qrv {

class CQUpdateBaseProcess;
class UpdateEngine;
class ProductCheckList;
class ProgressControl;
class StatusControl;
class DataExchange;  // the front-end's control binding; never looked into here

// The orchestrator as a window sees it: the window of a run (automatic or
// interactive) derives from this class. Phase operations (UpdatePrepare to
// UpdateFinish) carry a phase out through the process object; notifications
// (On..., SetProductStatus, SetProgressText) are how the process object, the
// transfer layer and the file replacement engine report back. The bodies
// here are the common behaviour; each window overrides what it shows
// differently.
//
// Construct only while a CQUpdateBaseProcess exists: the constructor takes
// the process singleton (not owned) and opens the trace file, which the
// destructor closes. The process object owns the window (SetDlgMgr) and
// deletes it through the virtual destructor.
//
// Thread: the user-interface thread only. A phase operation returns when its
// step is done; cancel notifications may run while one is under way (the
// long steps keep the window's events flowing) and only set flags.
class CQUpdateDlgMgr {
 public:
  // Progress kinds of SetProductStatus and SetProgressText.
  // Longest status text the status line shows whole; longer names are
  // shortened in the middle.
  static constexpr size_t kStatusChars = 45;

  CQUpdateDlgMgr();
  virtual ~CQUpdateDlgMgr();
  CQUpdateDlgMgr(const CQUpdateDlgMgr&) = delete;
  CQUpdateDlgMgr& operator=(const CQUpdateDlgMgr&) = delete;

  // Runs the window; 1 without one.
  virtual int32_t RunDialog();
  // Prepare phase: asks the server what is pending; the result of
  // OnPrepareFinish. messageId is for windows that show it.
  virtual bool UpdatePrepare(int32_t messageId);
  // Download phase for the chosen product keys (the transfer layer drops the
  // ones the server has nothing for); the download result code, 1 = done.
  // After a failure the run falls back to the prepare phase.
  virtual int32_t UpdateDownload(std::vector<std::string>& products);
  virtual void UpdateWait();
  // File-copy phase: 0 failed, 1 done, 2 cancelled.
  virtual int32_t UpdateCopyFile();
  // Actions, then commit, whatever the actions reported.
  virtual void UpdateFinalize();
  // aborted = 0 marks the run as ended normally; an aborted run keeps its
  // state code for the next automatic start.
  virtual void UpdateFinish(int32_t aborted);

  virtual void OnFileTransferBegin();
  // Records the finished download in the update log.
  virtual void OnFileTransferFinish();
  virtual void OnFileTransferCancel();
  virtual void OnFileCopyBegin();
  virtual void OnFileCopyFinish();
  virtual void OnFileCopyCancel();
  virtual void OnFileTransferError(int32_t result);
  virtual void OnFileCopyError();
  virtual void OnErrorReserved1();
  virtual void OnFinalizeError();
  virtual void OnErrorReserved2();
  // Keeps the process object's product list for the window; true.
  virtual bool OnPrepareFinish(int32_t found);
  virtual void SetProductStatus(const std::string& product, platform::ProgressKind kind);
  // Status line "<prefix><file>" (no more than kStatusChars characters
  // unless the prefix alone is longer) and one progress step for the kinds
  // that make progress. An empty file shows the prefix alone.
  virtual void SetProgressText(platform::ProgressKind kind, std::string_view file, uint32_t value);
  // Whether the run goes on when the schedule says due (1) or not (0).
  virtual bool CheckSchedule(int32_t due);
  virtual void DoDataExchange(DataExchange* context);

  // Controls owned by the window, or null (then left alone).
  void SetProgressCtrl(ProgressControl* control) { m_progress = control; }
  void SetStatusCtrl(StatusControl* control) { m_status = control; }
  // Range 0..count (0 counts as 1), step 1: one step per file reported.
  virtual void SetProgressRange(uint32_t count);
  virtual void StepProgressBack();
  // Moves the bar to the end of its range: a phase has ended.
  void CompleteProgress();

  void InitProductListColumns(ProductCheckList& list);
  // Rows for the product list, all checked; 0 when there is nothing to show.
  int32_t FillProductList(ProductCheckList& list);
  // Appends product and, recursively, every pending product it lists under
  // UpdateDependency of qupdate_s.ini, each once.
  void CollectDependencies(const std::string& product, std::vector<std::string>& result) const;
  // Sets the check state of product's row and of the rows of everything it
  // depends on to check (1 or 0).
  void CheckDependencies(const std::string& product, ProductCheckList& list, uint32_t check);

  // The status text for kind and file (see SetProgressText).
  static std::string ProgressText(platform::ProgressKind kind, std::string_view file);
  // The line SetProductStatus shows for product: "Downloading <name>...",
  // "Copying <name>..." or the cancelling line, the product's registered name
  // (its key when it has none) with control and direction characters
  // escaped; empty for the other kinds.
  std::string ProductStatusText(const std::string& product, platform::ProgressKind kind) const;

  UpdatePhase Phase() const { return m_phase; }
  const std::vector<tagUPDATETYPE>* ProductList() const { return m_productList; }

 protected:
  // A "-LABEL---PHASE" line in the trace.
  void Trace(std::string_view label);
  CQUpdateBaseProcess* Process() const { return m_process; }
  // The engine of the run (UpdateEngine::Current()).
  static UpdateEngine& Engine();

  CQUpdateBaseProcess* m_process;
  CQUpdateTraceFile m_trace;
  std::vector<tagUPDATETYPE>* m_productList = nullptr;
  UpdatePhase m_phase = UpdatePhase::kNone;
  ProgressControl* m_progress = nullptr;
  int32_t m_progressHigh = 0;  // upper end of the range last set
  StatusControl* m_status = nullptr;
};

}  // namespace qrv
