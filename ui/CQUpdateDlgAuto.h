#pragma once

#include <QDialog>
#include <QEventLoop>
#include <chrono>
#include <memory>

#include "app/CQUpdateDlgMgr.h"

namespace Ui {
class CQUpdateDlgAuto;
}

namespace qrv {

class CQUpdateUtilTrayIcon;
class CQUpdateUtilTrayIconMouseMsgHandler;
class QtEventPump;
class QtProgressControl;
class QtStatusControl;

// The window of the automatic run: hidden, with an icon in the notification
// area (TrayArea) whose balloons tell the user what is going on; a balloon
// click or a double click on the icon (or "Show" in its menu, or a second
// start of the program) moves the run on (ShowState). The window itself shows
// only while files are downloaded, copied or finalized: two lines, a bar,
// Hide and Cancel.
//
// RunDialog resumes the previous run by its stored UpdateState (12, 21, 23:
// ready to copy; 22, 31, 32, 41: finalize; else a fresh prepare) and returns
// when the run has ended (EndUpdate). Without a notification area the run
// does not wait for a click it could never get: it goes on by itself in its
// window, and the trace says so.
//
// Construct while a CQUpdateBaseProcess exists and a QApplication runs; the
// process object owns the window. Thread: the user-interface thread.
class CQUpdateDlgAuto : public QDialog, public CQUpdateDlgMgr {
  Q_OBJECT

 public:
  // Tray icons (artwork ids, also the icon's identifiers).
  static constexpr int kIconIdle = 149;
  static constexpr int kIconWorking = 150;
  static constexpr int kIconReady = 151;
  // Tray menu commands.
  static constexpr int kCommandAbout = 32773;
  static constexpr int kCommandShow = 32776;
  static constexpr int kCommandExit = 32772;

  explicit CQUpdateDlgAuto(QWidget* parent = nullptr);
  ~CQUpdateDlgAuto() override;

  int32_t RunDialog() override;
  bool UpdatePrepare(int32_t messageId) override;
  int32_t UpdateCopyFile() override;
  void UpdateFinalize() override;
  void OnFileTransferBegin() override;
  void OnFileTransferFinish() override;
  void OnFileTransferCancel() override;
  void OnFileCopyBegin() override;
  void OnFileCopyFinish() override;
  void OnFileCopyCancel() override;
  void OnFileTransferError(int32_t result) override;
  void OnFileCopyError() override;
  void OnErrorReserved1() override;
  void OnFinalizeError() override;
  void OnErrorReserved2() override;
  bool OnPrepareFinish(int32_t found) override;
  void SetProductStatus(const std::string& product, platform::ProgressKind kind) override;
  void SetProgressText(platform::ProgressKind kind, std::string_view file, uint32_t value) override;
  bool CheckSchedule(int32_t due) override { return due != 0; }

  // Moves the run on from where it is (a click, "Show", a second start).
  void ShowState();
  // The tray menu's Exit: ends the run by phase (asking first while it waits).
  void OnExit();
  // The engine ends the process after a failed automatic download: the run
  // ends with code as the process's exit status (ExitCode()).
  void EndProcess(int code);

  // A command of the tray menu (kCommandAbout, kCommandShow, kCommandExit).
  Q_INVOKABLE void OnCommand(int command);

  // How long the last balloon stays before the run ends (2000 ms); tests
  // shorten it.
  void SetEndPause(std::chrono::milliseconds pause) { m_endPause = pause; }
  // The exit status the run asks for: 0, or what EndProcess was given.
  int ExitCode() const { return m_exitCode; }
  bool Ended() const { return m_ended; }
  CQUpdateUtilTrayIcon* TrayIcon() const { return m_tray.get(); }

 public slots:
  // Escape and the close box never end the run: the window hides.
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void OnInitDialog();
  int32_t StartDownloadRun();
  void ShowUpdateWait(uint32_t messageId);
  void OnStateWait();
  void EndUpdate(uint32_t messageId);
  // Creates the tray icon (identifier id, the current picture, tip 116) and
  // shows it with balloon 116.
  void MakeTrayIcon(uint32_t id);
  // Gives the tray icon the current picture and tip; a non-zero message id
  // also shows that balloon.
  void ApplyIcon(const QString& tip, uint32_t balloonId = 0);
  void ShowInFront();
  void AttachControls();
  void OnCancelButton();
  // Whether nobody could click a balloon here (no notification area).
  bool NoTrayArea() const;

  std::unique_ptr<Ui::CQUpdateDlgAuto> m_ui;
  int m_icon = kIconIdle;
  std::unique_ptr<CQUpdateUtilTrayIconMouseMsgHandler> m_leftHandler;
  std::unique_ptr<CQUpdateUtilTrayIconMouseMsgHandler> m_rightHandler;
  std::unique_ptr<CQUpdateUtilTrayIcon> m_tray;
  std::unique_ptr<QtProgressControl> m_progressControl;
  std::unique_ptr<QtStatusControl> m_statusControl;
  std::unique_ptr<QtEventPump> m_pump;
  QEventLoop m_loop;
  std::chrono::milliseconds m_endPause{2000};
  bool m_ended = false;
  bool m_preparing = false;  // UpdatePrepare is asking the server
  bool m_ending = false;     // EndUpdate is asking or showing its balloon
  int m_steps = 0;           // downloads and copies on the stack
  int m_exitCode = 0;
};

}  // namespace qrv
