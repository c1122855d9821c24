#include "app/DlgMgrProgress.h"

#include "app/CQUpdateBaseProcess.h"

namespace qrv {

void DlgMgrProgress::NotifyProductStatus(const std::string& product, platform::ProgressKind kind) {
  if (CQUpdateBaseProcess* process = CQUpdateBaseProcess::GetInstance()) process->NotifyProductStatus(product, kind);
}

void DlgMgrProgress::NotifyProgressText(platform::ProgressKind kind, const std::string& text, uint32_t value) {
  if (CQUpdateBaseProcess* process = CQUpdateBaseProcess::GetInstance()) process->NotifyProgressText(kind, text, value);
}

void DlgMgrProgress::SetProgressRange(uint32_t count) {
  if (CQUpdateBaseProcess* process = CQUpdateBaseProcess::GetInstance()) process->SetProgressRange(count);
}

void DlgMgrProgress::SetRestartRequired(uint32_t flag) {
  if (CQUpdateBaseProcess* process = CQUpdateBaseProcess::GetInstance()) process->SetRestartRequired(flag);
}

}  // namespace qrv
