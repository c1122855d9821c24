#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/CQUpdateDlgMgr.h"

namespace qrv {

class ConsoleProgressBar;

// The window of a run in a terminal. Interactive (mode 0): stand-by text,
// the product list, the choice (all, or the named products with everything
// they depend on), a confirmation, a progress line during download and
// copy, messages as text. Automatic (mode 1): headless for cron and timers;
// it resumes an interrupted run by the stored UpdateState and never waits
// for anybody.
//
// Ctrl-C: InstallInterruptHandler makes SIGINT set a flag only. While the
// download or the copy runs, the event pump hook installed by RunDialog sees
// the flag and asks whether to stop (string 106 / 121; with assumeYes or in
// the automatic run it stops at once). Between phases the flag ends the run
// as aborted.
//
// Construct while a CQUpdateBaseProcess exists (as every CQUpdateDlgMgr);
// the streams are not owned. Thread: the user-interface thread.
class ConsoleDlgMgr : public CQUpdateDlgMgr {
 public:
  struct Options {
    bool automatic = false;              // mode 1
    bool assumeYes = false;              // no confirmation; stop at once on Ctrl-C
    std::vector<std::string> products;  // interactive choice; empty: all pending
  };
  // Exit statuses beyond 0 (done or nothing to do) and 1 (failed).
  static constexpr int32_t kExitUsage = 2;
  static constexpr int32_t kExitInterrupted = 130;

  ConsoleDlgMgr(Options options, std::FILE* out, std::FILE* in);
  ~ConsoleDlgMgr() override;

  // Carries the whole run out; the exit status: 0 completed or nothing
  // pending, 1 failed, cancelled, a product left out (its product file could
  // not be fetched) or a settings store that cannot be used, kExitUsage for
  // a --product that has no pending update, kExitInterrupted for Ctrl-C
  // between phases.
  int32_t RunDialog() override;

  bool OnPrepareFinish(int32_t found) override;
  void OnFileTransferBegin() override;
  void OnFileTransferFinish() override;
  void OnFileTransferCancel() override;
  void OnFileCopyBegin() override;
  void OnFileCopyFinish() override;
  void OnFileCopyCancel() override;
  void OnFileTransferError(int32_t result) override;
  void OnFileCopyError() override;
  void OnFinalizeError() override;
  void SetProductStatus(const std::string& product, platform::ProgressKind kind) override;
  bool CheckSchedule(int32_t due) override;

  // The exit status the run ends with when the automatic run's download
  // failure ends the process (CQUpdateBase::SetEndProcess hands it here).
  void EndProcess(int code);

  // Shows message 190 with the damage report of each registry store that
  // cannot be used (platform::RegistryStore::DamageReport); whether there
  // was one. A damaged store reads as empty, which would otherwise pass for
  // "no server set" or "nothing pending". Reads only.
  static bool ReportDamagedStores();

  // SIGINT sets the flag returned by Interrupted() instead of ending the
  // process. Call once at start-up.
  static void InstallInterruptHandler();
  static std::atomic<bool>& Interrupted();

 private:
  int32_t RunInteractive();
  int32_t RunAutomatic();
  int32_t CopyAndFinish();
  void Pump();
  bool ConfirmInteractive(size_t count);
  // Shows message 192 naming the products the download left out; whether
  // there were any (the run then ends with status 1).
  bool ReportDroppedProducts();
  // After a prepare that found nothing: when the engine could not tell
  // (server unreachable, information not fetched, download folder or store
  // unusable) shows why and returns true; false for a real "nothing pending".
  bool ReportPrepareFailure();
  void AttachBar();
  void DetachBar();

  Options m_options;
  std::FILE* m_out;
  std::FILE* m_in;
  std::unique_ptr<ConsoleProgressBar> m_bar;
  bool m_failed = false;
  int m_endCode = -1;
  bool m_asking = false;
  // Set when a cancel of the copy was confirmed (or needed no question).
  bool m_copyCancelled = false;
  std::string m_lastStatus;  // the last product status line printed
};

}  // namespace qrv
