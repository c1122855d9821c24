#include "app/CQUpdateDlgMgr.h"

#include <algorithm>

#include "app/CQUpdateBaseProcess.h"
#include "app/UpdateEngine.h"
#include "platform/core/MessageService.h"
#include "app/ProductCheckList.h"
#include "app/ProgressControl.h"
#include "app/StatusControl.h"
#include "apply/UpdateFiles.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/DisplayText.h"
#include "platform/core/LastError.h"
#include "platform/profile/ProfileFile.h"
#include "res/CQUpdateStrings.h"
#include "res/StringIds.h"

namespace qrv {

namespace {

constexpr int32_t kMessageRetry = kStringUpdateAbortedRetry;

void Show(uint32_t id) { platform::MessageService::Current().Show(id, platform::MessageService::kOk); }

}  // namespace

CQUpdateDlgMgr::CQUpdateDlgMgr() : m_process(CQUpdateBaseProcess::GetInstance()) {}

CQUpdateDlgMgr::~CQUpdateDlgMgr() = default;

UpdateEngine& CQUpdateDlgMgr::Engine() { return UpdateEngine::Current(); }

void CQUpdateDlgMgr::Trace(std::string_view label) { m_trace.WriteEvent(label, static_cast<int32_t>(m_phase)); }

int32_t CQUpdateDlgMgr::RunDialog() { return 1; }

bool CQUpdateDlgMgr::UpdatePrepare(int32_t /*messageId*/) {
  const bool interactive = m_process != nullptr && m_process->IsAutoMode() == 0;
  if (interactive) m_process->ShowStandBy();
  m_phase = UpdatePhase::kPrepare;
  const int32_t found = Engine().QueryUpdates();
  if (interactive) m_process->CloseStandBy();
  return OnPrepareFinish(found);
}

int32_t CQUpdateDlgMgr::UpdateDownload(std::vector<std::string>& products) {
  m_phase = UpdatePhase::kDownload;
  const int32_t result = Engine().StartDownload(products);
  // An automatic run whose download failed has ended (state 0, folder
  // cleaned): nobody watches it, so nothing is shown and the server is not
  // asked again.
  if (m_process != nullptr && m_process->IsAutoMode() != 0 && (result == 2 || result == 5 || result == 6)) return result;
  switch (result) {
    case 2: UpdatePrepare(kMessageRetry); break;
    case 5: Show(kStringSignature); UpdatePrepare(kMessageRetry); break;
    case 6: Show(kStringUpdateError); UpdatePrepare(kMessageRetry); break;
    case 3: Show(kStringNoNetwork); UpdatePrepare(kMessageRetry); break;
    default: break;
  }
  return result;
}

void CQUpdateDlgMgr::UpdateWait() { m_phase = UpdatePhase::kWait; }

int32_t CQUpdateDlgMgr::UpdateCopyFile() {
  m_phase = UpdatePhase::kFileCopy;
  Trace("DlgMgr-UpdateCopyFile");
  return Engine().CopyFiles();
}

void CQUpdateDlgMgr::UpdateFinalize() {
  m_phase = UpdatePhase::kFinalize;
  // The commit runs even after a failed action: the files are in place and
  // their levels recorded, so forgetting the old levels is still right.
  Engine().ApplyActions();
  Engine().CompleteUpdate();
}

void CQUpdateDlgMgr::UpdateFinish(int32_t aborted) {
  m_phase = UpdatePhase::kFinish;
  Engine().EndUpdateState(aborted);
}

void CQUpdateDlgMgr::OnFileTransferBegin() {
  const int32_t count = Engine().GetTotalFileCount();
  if (count >= 1) SetProgressRange(static_cast<uint32_t>(count));
}

void CQUpdateDlgMgr::OnFileTransferFinish() {
  Engine().RecordDownloadFinished();
  CompleteProgress();
}

void CQUpdateDlgMgr::OnFileTransferCancel() {
  Engine().CancelDownload();
}

void CQUpdateDlgMgr::OnFileCopyBegin() {
  const int32_t count = Engine().GetTotalFileCount();
  if (count >= 1) SetProgressRange(static_cast<uint32_t>(count));
  // The bar stood full at the end of the download; the copy starts afresh.
  if (m_progress != nullptr) m_progress->SetPos(0);
}

void CQUpdateDlgMgr::OnFileCopyFinish() {
  CompleteProgress();
  Show(kStringFinished);
}

void CQUpdateDlgMgr::CompleteProgress() {
  // The applier sizes the range per product and the reports need not match
  // the files, so the bar may stand anywhere at the end of a phase: a
  // finished phase shows a full bar, never "13%" beside "Update finished."
  if (m_progress != nullptr) m_progress->SetPos(m_progressHigh);
}

void CQUpdateDlgMgr::OnFileCopyCancel() {
  SetProgressText(platform::ProgressKind::kCancelling, {}, 0);
  Engine().CancelCopy();
  Engine().RollbackCopy(1);
}

void CQUpdateDlgMgr::OnFileTransferError(int32_t result) {
  Show(result == 3 ? kStringConnectFailed : result == 4 ? kStringFilesMissing : kStringUpdateError);
  Engine().CancelDownload();
}

void CQUpdateDlgMgr::OnFileCopyError() {
  Show(kStringAborted);
  SetProgressText(platform::ProgressKind::kCancelling, {}, 0);
  Engine().CancelCopy();
  Engine().RollbackCopy(1);
}

void CQUpdateDlgMgr::OnErrorReserved1() { Show(kStringFinalizeError); }

void CQUpdateDlgMgr::OnFinalizeError() { Show(kStringFinalizeError); }

void CQUpdateDlgMgr::OnErrorReserved2() { Show(kStringFinalizeError); }

bool CQUpdateDlgMgr::OnPrepareFinish(int32_t /*found*/) {
  // The interactive window shows its (possibly empty) list either way.
  m_productList = Engine().GetUpdateTypes();
  return true;
}

void CQUpdateDlgMgr::SetProductStatus(const std::string& /*product*/, platform::ProgressKind /*kind*/) {}

std::string CQUpdateDlgMgr::ProductStatusText(const std::string& product, platform::ProgressKind kind) const {
  uint32_t id = 0;
  switch (kind) {
    case platform::ProgressKind::kDownloading: id = kStringDownloadingProduct; break;
    case platform::ProgressKind::kCopying: id = kStringCopyingProduct; break;
    case platform::ProgressKind::kCancelling: return CQUpdateStrings::Get(kStringCancelingUpdate);
    default: return {};
  }
  // The registered name came from an installer or an update's registry
  // action: never let it steer a terminal or reorder the line.
  const std::string name = platform::DisplayText::Escape(Engine().ProductName(product));
  std::string text = CQUpdateStrings::Get(id);
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, name);
  return text;
}

std::string CQUpdateDlgMgr::ProgressText(platform::ProgressKind kind, std::string_view file) {
  uint32_t id = kStringWait;
  switch (kind) {
    case platform::ProgressKind::kDownloading: id = kStringDownloading; break;
    case platform::ProgressKind::kCopying: id = kStringCopying; break;
    case platform::ProgressKind::kDeleting: id = kStringDeleting; break;
    case platform::ProgressKind::kCancelling: id = kStringCancelingPrefix; break;
    case platform::ProgressKind::kDropped: id = kStringNotUpdatedPrefix; break;
    default: break;
  }
  const std::string prefix = CQUpdateStrings::Get(id);
  // The name comes from the server: it is escaped before anything else, so
  // its control characters never reach a terminal, and cut only between
  // whole pieces (characters, escapes), so neither a character nor an
  // escape is ever split. Lengths count characters as the user sees them.
  const std::vector<std::string> pieces = platform::DisplayText::Pieces(file);
  std::vector<size_t> columns;  // where each piece starts
  size_t fileLength = 0;
  for (const std::string& piece : pieces) {
    columns.push_back(fileLength);
    fileLength += platform::DisplayText::Width(piece);
  }
  const size_t prefixLength = platform::DisplayText::Width(prefix);
  const auto excess = static_cast<int64_t>(prefixLength + fileLength) - static_cast<int64_t>(kStatusChars);
  std::string text = prefix;
  if (excess < 1) {
    for (const std::string& piece : pieces) text += piece;
    return text;
  }

  // Keep the start and the end of the name, which tell files apart best;
  // "..." stands for the middle. A piece that would cross either cut goes
  // with the middle.
  const size_t head = fileLength / 4;
  const size_t tail = head + 3 + static_cast<size_t>(excess);
  for (size_t i = 0; i < pieces.size() && columns[i] + platform::DisplayText::Width(pieces[i]) <= head; ++i) {
    text += pieces[i];
  }
  text += "...";
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (columns[i] >= tail) text += pieces[i];
  }
  return text;
}

void CQUpdateDlgMgr::SetProgressText(platform::ProgressKind kind, std::string_view file, uint32_t /*value*/) {
  switch (kind) {
    case platform::ProgressKind::kDownloading:
    case platform::ProgressKind::kCopying:
    case platform::ProgressKind::kDeleting:
      if (m_progress != nullptr) m_progress->StepIt();
      break;
    case platform::ProgressKind::kCancelling:
    case platform::ProgressKind::kDropped: break;
    default:
      if (m_progress != nullptr) m_progress->SetPos(0);
      break;
  }
  if (m_status != nullptr) m_status->SetText(ProgressText(kind, file));
}

bool CQUpdateDlgMgr::CheckSchedule(int32_t /*due*/) { return true; }

void CQUpdateDlgMgr::DoDataExchange(DataExchange* /*context*/) {}

void CQUpdateDlgMgr::SetProgressRange(uint32_t count) {
  if (m_progress == nullptr) return;
  // Zero would divide by zero below; the range is meaningless then anyway.
  const uint32_t n = std::max<uint32_t>(count, 1);
  m_progressHigh = static_cast<int32_t>(std::min<uint32_t>(n, INT32_MAX));
  m_progress->SetRange(0, m_progressHigh);
  // One report per file, so one step each: a step of 100 / (2 * count) meant
  // for a percent scale filled a bar of fewer than 50 files at the first
  // file (three files: full after one), and a step back took back 1 of it.
  m_progress->SetStep(1);
}

void CQUpdateDlgMgr::StepProgressBack() {
  if (m_progress != nullptr) m_progress->SetPos(m_progress->GetPos() - 1);
}

void CQUpdateDlgMgr::InitProductListColumns(ProductCheckList& list) {
  list.SetCheckBoxStyle();
  list.InsertColumn(0, CQUpdateStrings::Get(kStringProductName), 218);
  list.InsertColumn(1, CQUpdateStrings::Get(kStringCurrentVersion), 76);
  list.InsertColumn(2, CQUpdateStrings::Get(kStringLatestVersion), 76);
}

int32_t CQUpdateDlgMgr::FillProductList(ProductCheckList& list) {
  list.DeleteAllRows();
  if (m_productList == nullptr || m_productList->empty()) return 0;
  for (size_t i = 0; i < m_productList->size(); ++i) {
    const tagUPDATETYPE& record = (*m_productList)[i];
    const auto row = static_cast<int32_t>(i);
    list.InsertRow(row, record.productName, record.version, record.latestVersion, record.product);
    list.SetCheckState(row, 1);
    Engine().LoadUpdateContent(record.product);
  }
  return 1;
}

void CQUpdateDlgMgr::CollectDependencies(const std::string& product, std::vector<std::string>& result) const {
  result.push_back(product);
  const std::string list = Engine().UpdateDependency(product);
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find('|', start);
    if (end == std::string::npos) end = list.size();
    const std::string piece = list.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    const bool pending = m_productList != nullptr &&
                         std::any_of(m_productList->begin(), m_productList->end(),
                                     [&](const tagUPDATETYPE& r) { return r.product == piece; });
    // Only what is collected already stops the walk, so a cycle ends.
    if (pending && std::find(result.begin(), result.end(), piece) == result.end()) {
      CollectDependencies(piece, result);
    }
  }
}

void CQUpdateDlgMgr::CheckDependencies(const std::string& product, ProductCheckList& list, uint32_t check) {
  std::vector<std::string> products;
  CollectDependencies(product, products);
  for (int32_t row = 0; row < list.RowCount(); ++row) {
    const std::string key = list.RowProduct(row);
    if (std::find(products.begin(), products.end(), key) == products.end()) continue;
    if ((list.CheckState(row) & check) == 0) list.SetCheckState(row, check);
  }
}

}  // namespace qrv
