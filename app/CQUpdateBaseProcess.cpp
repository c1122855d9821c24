#include "app/CQUpdateBaseProcess.h"

#include "app/DlgMgrProgress.h"
#include "app/StandByWindow.h"
#include "transfer/CQUpdateDownloadMgr.h"

namespace qrv {

namespace {

CQUpdateBaseProcess* g_instance = nullptr;

}  // namespace

CQUpdateBaseProcess::CQUpdateBaseProcess() {
  g_instance = this;
  m_previousProgress = platform::UpdateProgress::Install(std::make_shared<DlgMgrProgress>());
}

CQUpdateBaseProcess::~CQUpdateBaseProcess() {
  // The window goes first: its destructor may still reach the process object.
  m_dlgMgr.reset();
  platform::UpdateProgress::Install(m_previousProgress);
  if (g_instance == this) g_instance = nullptr;
}

CQUpdateBaseProcess* CQUpdateBaseProcess::GetInstance() { return g_instance; }

}  // namespace qrv
