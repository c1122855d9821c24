#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/CQUpdateBase.h"
#include "app/CQUpdateDlgMgr.h"
#include "app/UpdateEngine.h"

namespace qrv {
namespace platform {
class UpdateProgress;
}

// The one update engine of the process. Construction registers it as the
// process singleton and installs a progress sink that forwards the reports
// of the transfer layer and the file replacement engine to the window;
// destruction deletes the window, restores the previous sink and clears the
// registration (then the restart question of CQUpdateBase follows).
//
// Run(mode) is the launcher: it makes the window of the mode through the
// window factory the front-end installed, asks it whether the schedule lets
// the run go on, refuses platforms older than major version 5 (message 158
// naming SetHomePage's address, automatic updating switched off and the
// log-on entry removed) and otherwise runs the window until the update is
// over. Run modes: 0 the interactive run, 1 the automatic run.
//
// Make one at a time; a second one while the first lives replaces the
// registration until either is destroyed. Call Run once, after the
// factories and hooks are set; the window it made lives until this object
// is destroyed.
//
// Thread: the user-interface thread.
class CQUpdateBaseProcess : public CQUpdateBase {
 public:
  CQUpdateBaseProcess();
  ~CQUpdateBaseProcess() override;

  // The registered process object, or null.
  static CQUpdateBaseProcess* GetInstance();

  static constexpr uint32_t kModeInteractive = 0;
  static constexpr uint32_t kModeAutomatic = 1;

  // Makes the window of a mode (0 interactive, anything else automatic); it
  // is constructed after this object exists. Null: the front-end has no
  // window for that mode (Run then ends without one, kNoWindow).
  using WindowFactory = std::function<std::unique_ptr<CQUpdateDlgMgr>(uint32_t mode)>;
  void SetWindowFactory(WindowFactory factory) { m_windowFactory = std::move(factory); }
  // Called right before the window of mode (the mode of the window, which
  // is 0 after the old-platform swap) runs, with that window: the front-end
  // takes its single-instance mark here, as the window starts. false: the
  // window does not run (another process got there first and the gate has
  // handed the start over to it); Run returns 0 (kGateRefused). None set:
  // every window runs.
  using WindowGate = std::function<bool(uint32_t mode, CQUpdateDlgMgr& window)>;
  void SetWindowGate(WindowGate gate) { m_windowGate = std::move(gate); }
  // The maker's home page named by message 158 (the front-end knows it).
  void SetHomePage(std::string address) { m_homePage = std::move(address); }

  // The engine the windows and the launcher use: this object's own run
  // (a LocalUpdateEngine on it) unless the front-end set another, such as a
  // privileged service's. Set it before Run; null restores the own one.
  void SetEngine(std::unique_ptr<UpdateEngine> engine);
  UpdateEngine& Engine() const { return m_engine ? *m_engine : *m_localEngine; }

  // How the last Run ended.
  enum class RunOutcome {
    kNotRun,        // Run was not called
    kNoWindow,      // the factory had no window for the mode
    kNotDue,        // the window's CheckSchedule said no
    kOldPlatform,   // message 158 shown, nothing run
    kGateRefused,   // the window gate said no
    kRan,           // the window ran; Run returned its RunDialog
  };

  // The launcher (see above): the result of the window's RunDialog, or 0
  // when it did not run.
  int32_t Run(uint32_t mode);
  RunOutcome LastRunOutcome() const { return m_outcome; }
  // Deletes the current window, then makes the one of mode and keeps it;
  // false (no window kept) when the factory has none.
  bool CreateModeWindow(uint32_t mode);
  // 1 when an automatic run should happen now (the schedule rule of
  // UpdateSchedule for the mode set by SetAutoMode), else 0.
  int32_t IsUpdateDue() const;

  // Takes the window (made after this object, as it looks the singleton up).
  void SetDlgMgr(std::unique_ptr<CQUpdateDlgMgr> dlgMgr) { m_dlgMgr = std::move(dlgMgr); }
  CQUpdateDlgMgr* DlgMgr() const { return m_dlgMgr.get(); }

 protected:
  CQUpdateDlgMgr* Window() const override { return m_dlgMgr.get(); }

 private:
  // Message 158, automatic updating off, the log-on entry removed.
  void RefuseOldPlatform();

  std::unique_ptr<UpdateEngine> m_localEngine;
  std::unique_ptr<UpdateEngine> m_engine;  // null: m_localEngine
  std::unique_ptr<CQUpdateDlgMgr> m_dlgMgr;
  std::shared_ptr<platform::UpdateProgress> m_previousProgress;
  WindowFactory m_windowFactory;
  WindowGate m_windowGate;
  std::string m_homePage;
  RunOutcome m_outcome = RunOutcome::kNotRun;
};

}  // namespace qrv
