#include "app/CQUpdateBaseProcess.h"

#include "app/DlgMgrProgress.h"
#include "app/LocalUpdateEngine.h"
#include "app/StandByWindow.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/MessageService.h"
#include "platform/system/PlatformVersion.h"
#include "res/StringIds.h"
#include "transfer/CQUpdateDownloadMgr.h"

namespace qrv {

namespace {

CQUpdateBaseProcess* g_instance = nullptr;

}  // namespace

CQUpdateBaseProcess::CQUpdateBaseProcess() : m_localEngine(std::make_unique<LocalUpdateEngine>(this)) {
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

void CQUpdateBaseProcess::SetEngine(std::unique_ptr<UpdateEngine> engine) { m_engine = std::move(engine); }

bool CQUpdateBaseProcess::CreateModeWindow(uint32_t mode) {
  // The old window goes before the new one is made: both register with this
  // object and open the trace.
  m_dlgMgr.reset();
  if (m_windowFactory) m_dlgMgr = m_windowFactory(mode == kModeInteractive ? kModeInteractive : kModeAutomatic);
  return m_dlgMgr != nullptr;
}

int32_t CQUpdateBaseProcess::IsUpdateDue() const { return Engine().IsUpdateDue(m_autoMode != 0) ? 1 : 0; }

int32_t CQUpdateBaseProcess::Run(uint32_t mode) {
  SetAutoMode(mode);
  if (m_engine) m_engine->SetAutoMode(mode);
  if (!CreateModeWindow(mode)) {
    m_outcome = RunOutcome::kNoWindow;
    platform::Diagnostics::Report("no window for run mode " + std::to_string(mode) + ": nothing was run");
    return 0;
  }
  // The automatic window answers with due; the interactive one always runs.
  if (!m_dlgMgr->CheckSchedule(IsUpdateDue())) {
    m_outcome = RunOutcome::kNotDue;
    return 0;
  }
  const bool oldPlatform = platform::PlatformVersion::Major() < 5;
  uint32_t windowMode = mode == kModeInteractive ? kModeInteractive : kModeAutomatic;
  if (oldPlatform && windowMode == kModeAutomatic) {
    // An old platform gets the interactive window's message; the automatic
    // start counts as today's check, so it does not come back every day.
    windowMode = kModeInteractive;
    CreateModeWindow(windowMode);
    Engine().RecordLastUpdate();
  }
  if (oldPlatform) {
    RefuseOldPlatform();
    m_outcome = RunOutcome::kOldPlatform;
    return 0;
  }
  if (m_windowGate && !m_windowGate(windowMode, *m_dlgMgr)) {
    m_outcome = RunOutcome::kGateRefused;
    return 0;
  }
  m_outcome = RunOutcome::kRan;
  return m_dlgMgr->RunDialog();
}

void CQUpdateBaseProcess::RefuseOldPlatform() {
  // Both records of the entry go together, or the desktop session would go
  // on starting an automatic run that can only refuse. The outcome is
  // reported, not acted on: the message below is what the user must read.
  std::string error;
  if (!Engine().SetLogOnEntry(false, error)) platform::Diagnostics::Report(error);
  Engine().SetAutoUpdate(0);
  platform::MessageService::Current().ShowWith(kStringOldPlatform, m_homePage, platform::MessageService::kOk);
}

}  // namespace qrv
