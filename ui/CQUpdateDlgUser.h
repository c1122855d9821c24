#pragma once

#include <QDialog>
#include <memory>

#include "app/CQUpdateDlgMgr.h"

class QStackedWidget;

namespace qrv {

class CQUpdatePropertyPageDownload;
class CQUpdatePropertyPageList;
class QtEventPump;
class QtProgressControl;
class QtStatusControl;

// The window of the interactive run: the product list page and the download
// page, one at a time, and the orchestrator of the run (CQUpdateDlgMgr).
//
// RunDialog asks the server, shows the window modally and returns 1 when it
// is closed. Update on the list page runs the whole update from inside the
// click (download, copy, actions, commit) and every end of a run, good or
// bad, asks the server again and shows the list afresh. While a phase waits
// for its worker the window's events go on (QtEventPump), so Cancel, Escape
// and moving the window work; a message box asked meanwhile runs its own
// loop and the worker goes on.
//
// Closing (the Close button, Escape on the list page, the window's close
// box) follows the run's phase: during the download it asks "Stop
// download?" and closes only on OK; during the copy it does nothing.
//
// Construct while a CQUpdateBaseProcess exists and a QApplication runs; the
// process object owns the window. Thread: the user-interface thread.
class CQUpdateDlgUser : public QDialog, public CQUpdateDlgMgr {
  Q_OBJECT

 public:
  // The page indexes of the stack and the fit of each: the window ends
  // kListMargin pixels below the Homepage button (1072) and kDownloadMargin
  // below the progress bar (1013).
  static constexpr int kListPage = 0;
  static constexpr int kDownloadPage = 1;
  static constexpr int kListMargin = 15;
  static constexpr int kDownloadMargin = 35;

  explicit CQUpdateDlgUser(QWidget* parent = nullptr);
  ~CQUpdateDlgUser() override;

  int32_t RunDialog() override;
  bool UpdatePrepare(int32_t messageId) override;
  void UpdateWait() override;
  void UpdateFinalize() override;
  void OnFileTransferBegin() override;
  void OnFileTransferFinish() override;
  void OnFileTransferCancel() override;
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

  // The update command: the checked products, or message 126 when none is.
  void StartUpdate();
  // The close rule (see above).
  void CloseWindow();
  // The About box, modal.
  void ShowAbout();

  CQUpdatePropertyPageList* ListPage() const { return m_listPage; }
  CQUpdatePropertyPageDownload* DownloadPage() const { return m_downloadPage; }
  int CurrentPage() const;

 public slots:
  // Escape and the close box: the close rule.
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // Brings page to the front and fits the window to it (kListMargin /
  // kDownloadMargin below its reference control), centred where it was.
  void ShowPage(int page);

  QStackedWidget* m_stack = nullptr;
  CQUpdatePropertyPageList* m_listPage = nullptr;
  CQUpdatePropertyPageDownload* m_downloadPage = nullptr;
  std::unique_ptr<QtProgressControl> m_progressControl;
  std::unique_ptr<QtStatusControl> m_statusControl;
  std::unique_ptr<QtEventPump> m_pump;  // while RunDialog runs
  bool m_closing = false;               // the close rule decided to end
  bool m_preparing = false;             // UpdatePrepare is under way
  int32_t m_prepareMessage = 0;         // what the prepare under way was asked for
};

}  // namespace qrv
