#include "app/console/ConsoleDlgMgr.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>

#include "app/CQUpdateBaseProcess.h"
#include "platform/core/MessageService.h"
#include "app/console/ConsoleMessageService.h"
#include "app/console/ConsoleProductList.h"
#include "app/console/ConsoleProgressBar.h"
#include "platform/core/DisplayText.h"
#include "platform/thread/EventPump.h"
#include "res/CQUpdateStrings.h"
#include "res/StringIds.h"

namespace qrv {

namespace {


std::atomic<bool> g_interrupted{false};

extern "C" void OnInterrupt(int /*signal*/) { g_interrupted.store(true); }

}  // namespace

ConsoleDlgMgr::ConsoleDlgMgr(Options options, std::FILE* out, std::FILE* in)
    : m_options(std::move(options)), m_out(out), m_in(in) {}

ConsoleDlgMgr::~ConsoleDlgMgr() = default;

void ConsoleDlgMgr::InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a question waiting for its line returns on Ctrl-C and
  // takes the safe answer instead of hanging on.
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
}

std::atomic<bool>& ConsoleDlgMgr::Interrupted() { return g_interrupted; }

int32_t ConsoleDlgMgr::RunDialog() {
  auto previous = platform::EventPump::SetThreadHook([this] { Pump(); });
  const int32_t status = m_options.automatic ? RunAutomatic() : RunInteractive();
  DetachBar();
  platform::EventPump::SetThreadHook(std::move(previous));
  return status;
}

void ConsoleDlgMgr::Pump() {
  if (m_asking || !g_interrupted.exchange(false)) return;
  // The question is asked from inside the pump; a second Ctrl-C while it
  // waits must not ask again.
  m_asking = true;
  if (m_phase == UpdatePhase::kDownload) OnFileTransferCancel();
  else if (m_phase == UpdatePhase::kFileCopy) OnFileCopyCancel();
  else g_interrupted.store(true);  // between phases: RunInteractive sees it
  m_asking = false;
}

int32_t ConsoleDlgMgr::RunInteractive() {
  UpdatePrepare(0);
  if (g_interrupted.load()) {
    UpdateFinish(1);
    return kExitInterrupted;
  }
  ConsoleProductList list;
  InitProductListColumns(list);
  if (FillProductList(list) == 0) {
    // An empty list is also what a server that did not answer gives; only
    // a real answer may say "nothing to do".
    if (ReportPrepareFailure()) {
      UpdateFinish(1);
      return 1;
    }
    std::fprintf(m_out, "%s: no update is pending.\n", CQUpdateStrings::Get(kStringAppTitle).c_str());
    UpdateFinish(0);
    return 0;
  }
  if (!m_options.products.empty()) {
    for (int32_t row = 0; row < list.RowCount(); ++row) list.SetCheckState(row, 0);
    for (const std::string& product : m_options.products) {
      if (list.FindRow(product) < 0) {
        std::fprintf(m_out, "%s: %s has no pending update.\n", CQUpdateStrings::Get(kStringAppTitle).c_str(),
                     platform::DisplayText::Escape(product).c_str());
        UpdateFinish(1);
        return kExitUsage;
      }
      CheckDependencies(product, list, 1);
    }
  }
  std::fprintf(m_out, "%s\n", CQUpdateStrings::Get(kStringUpdateAvailable).c_str());
  list.Print(m_out);
  std::vector<std::string> products = list.CheckedProducts();
  if (!ConfirmInteractive(products.size())) {
    UpdateFinish(1);
    return g_interrupted.load() ? kExitInterrupted : 1;
  }
  if (UpdateDownload(products) != 1) {
    DetachBar();
    UpdateFinish(1);
    return 1;
  }
  if (g_interrupted.load()) {
    UpdateFinish(1);
    return kExitInterrupted;
  }
  return CopyAndFinish();
}

int32_t ConsoleDlgMgr::RunAutomatic() {
  const auto resume = Engine().ResumeInterruptedRun();
  switch (resume) {
    case CQUpdateBase::ResumePoint::kCopy: return CopyAndFinish();
    case CQUpdateBase::ResumePoint::kFinalize:
      UpdateFinalize();
      UpdateFinish(0);
      return m_failed ? 1 : 0;
    case CQUpdateBase::ResumePoint::kPrepare: break;
  }
  if (!UpdatePrepare(kStringUpdateAvailable)) {
    if (ReportPrepareFailure()) {
      UpdateFinish(1);
      return 1;
    }
    UpdateFinish(0);
    return 0;
  }
  std::vector<std::string> products;
  if (m_productList != nullptr) {
    for (const tagUPDATETYPE& record : *m_productList) {
      if (std::find(products.begin(), products.end(), record.product) == products.end()) {
        products.push_back(record.product);
      }
    }
  }
  const int32_t result = UpdateDownload(products);
  DetachBar();
  if (m_endCode >= 0) return m_endCode;
  if (result != 1) {
    UpdateFinish(1);
    return 1;
  }
  return CopyAndFinish();
}

int32_t ConsoleDlgMgr::CopyAndFinish() {
  UpdateWait();
  m_copyCancelled = false;
  const int32_t copied = UpdateCopyFile();
  DetachBar();
  if (copied != 1) {
    UpdateFinish(1);
    return copied == ToCode(CopyResult::kCancelled) ? kExitInterrupted : 1;
  }
  // A Ctrl-C after the last cabinet was looked at: the files are in, but the
  // user asked to stop before the update is finalised; it ends as a
  // cancelled copy (levels put back, state 23), never as a finished update.
  if (g_interrupted.load()) {
    Pump();
    if (m_copyCancelled) {
      Engine().SetUpdateState(UpdateState::kCopyFailed);
      UpdateFinish(1);
      return kExitInterrupted;
    }
  }
  UpdateFinalize();
  UpdateFinish(0);
  const bool dropped = ReportDroppedProducts();
  return m_failed || dropped ? 1 : 0;
}

bool ConsoleDlgMgr::ReportDroppedProducts() {
  if (Engine().DroppedProducts().empty()) return false;
  std::string names;
  for (const std::string& product : Engine().DroppedProducts()) {
    if (!names.empty()) names += ", ";
    names += product;
  }
  platform::MessageService::Current().ShowWith(kStringProductsNotUpdated, names, platform::MessageService::kOk);
  return true;
}

bool ConsoleDlgMgr::ReportPrepareFailure() {
  switch (Engine().LastPrepareOutcome()) {
    case CQUpdateBase::PrepareOutcome::kFound:
    case CQUpdateBase::PrepareOutcome::kNothingPending: return false;
    case CQUpdateBase::PrepareOutcome::kUnreachable:
      platform::MessageService::Current().Show(kStringNoNetwork, platform::MessageService::kOk);
      break;
    case CQUpdateBase::PrepareOutcome::kFailed: break;  // the engine showed its message
  }
  std::fprintf(m_out, "%s: %s\n", CQUpdateStrings::Get(kStringAppTitle).c_str(),
               platform::DisplayText::Escape(Engine().PrepareFailure()).c_str());
  std::fflush(m_out);
  return true;
}

bool ConsoleDlgMgr::ReportDamagedStores() {
  const std::vector<std::string> reports = UpdateEngine::Current().DamagedStores();
  for (const std::string& report : reports) {
    platform::MessageService::Current().ShowWith(kStringStoreDamaged, report, platform::MessageService::kOk);
  }
  return !reports.empty();
}

bool ConsoleDlgMgr::ConfirmInteractive(size_t count) {
  if (count == 0) {
    std::fprintf(m_out, "%s: no product chosen.\n", CQUpdateStrings::Get(kStringAppTitle).c_str());
    return false;
  }
  // Without a terminal nobody can answer; going on is the safe answer there.
  if (m_options.assumeYes || m_in == nullptr || isatty(fileno(m_in)) == 0) return true;
  std::fprintf(m_out, "Update %zu product(s)? [y/n] ", count);
  std::fflush(m_out);
  char line[64] = {};
  if (std::fgets(line, sizeof line, m_in) == nullptr) return false;
  return line[0] == 'y' || line[0] == 'Y';
}

void ConsoleDlgMgr::AttachBar() {
  if (!m_bar) {
    m_bar = std::make_unique<ConsoleProgressBar>(m_out, isatty(fileno(m_out)) != 0);
    SetProgressCtrl(m_bar.get());
    SetStatusCtrl(m_bar.get());
  }
}

void ConsoleDlgMgr::DetachBar() {
  SetProgressCtrl(nullptr);
  SetStatusCtrl(nullptr);
  m_bar.reset();
}

bool ConsoleDlgMgr::OnPrepareFinish(int32_t found) {
  // Nobody looks at an empty list in the automatic run: it ends there.
  if (m_options.automatic && found == 0) return false;
  return CQUpdateDlgMgr::OnPrepareFinish(found);
}

void ConsoleDlgMgr::OnFileTransferBegin() {
  AttachBar();
  CQUpdateDlgMgr::OnFileTransferBegin();
}

void ConsoleDlgMgr::OnFileTransferFinish() {
  CQUpdateDlgMgr::OnFileTransferFinish();
  if (m_bar) m_bar->Finish();
}

void ConsoleDlgMgr::OnFileTransferCancel() {
  const bool ask = !m_options.assumeYes && !m_options.automatic;
  if (ask && platform::MessageService::Current().Show(kStringStopDownload, ConsoleMessageService::kOkCancel) !=
                 platform::MessageService::kAnswerOk) {
    return;
  }
  CQUpdateDlgMgr::OnFileTransferCancel();
}

void ConsoleDlgMgr::OnFileCopyBegin() {
  AttachBar();
  CQUpdateDlgMgr::OnFileCopyBegin();
}

void ConsoleDlgMgr::OnFileCopyFinish() {
  if (m_bar) m_bar->Finish();
  CQUpdateDlgMgr::OnFileCopyFinish();
}

void ConsoleDlgMgr::OnFileCopyCancel() {
  const bool ask = !m_options.assumeYes && !m_options.automatic;
  if (ask && platform::MessageService::Current().Show(kStringStopCopy, ConsoleMessageService::kOkCancel) !=
                 platform::MessageService::kAnswerOk) {
    return;
  }
  if (m_bar) m_bar->Finish();
  m_copyCancelled = true;
  CQUpdateDlgMgr::OnFileCopyCancel();
}

void ConsoleDlgMgr::OnFileTransferError(int32_t result) {
  if (m_bar) m_bar->Finish();
  m_failed = true;
  CQUpdateDlgMgr::OnFileTransferError(result);
}

void ConsoleDlgMgr::OnFileCopyError() {
  if (m_bar) m_bar->Finish();
  m_failed = true;
  // What failed, for whoever reads the output of a run nobody watched.
  if (!Engine().CopyFailureReason().empty()) {
    std::fprintf(m_out, "%s: %s\n", CQUpdateStrings::Get(kStringAppTitle).c_str(),
                 platform::DisplayText::Escape(Engine().CopyFailureReason()).c_str());
  }
  CQUpdateDlgMgr::OnFileCopyError();
}

void ConsoleDlgMgr::OnFinalizeError() {
  m_failed = true;
  CQUpdateDlgMgr::OnFinalizeError();
}

void ConsoleDlgMgr::SetProductStatus(const std::string& product, platform::ProgressKind kind) {
  const std::string line = ProductStatusText(product, kind);
  if (line.empty()) return;
  // A rollback reports once per product; the reader needs to be told once.
  if (kind == platform::ProgressKind::kCancelling && line == m_lastStatus) return;
  m_lastStatus = line;
  if (m_bar) m_bar->Finish();
  std::fprintf(m_out, "%s\n", line.c_str());
  std::fflush(m_out);
}

bool ConsoleDlgMgr::CheckSchedule(int32_t due) { return m_options.automatic ? due != 0 : true; }

void ConsoleDlgMgr::EndProcess(int code) { m_endCode = code; }

}  // namespace qrv
