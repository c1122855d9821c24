#pragma once

#include <memory>

#include "ui/CQUpdatePropertyPage.h"

class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace Ui {
class CQUpdatePropertyPageDownload;
}

namespace qrv {

class CQUpdateDlgMgr;

// The download page (form CQUpdatePropertyPageDownload): the progress lines
// of the run (1014), the status line (1015), the progress bar (1013) and
// Cancel (1034). The page holds no logic of the run: the window hands the
// bar and the status line to the orchestrator and adds the lines.
//
// Cancel and Escape follow the run's phase: during the download they ask
// the orchestrator's OnFileTransferCancel, during the copy its
// OnFileCopyCancel, at any other time nothing.
//
// The orchestrator is not owned and must outlive the page. Thread: the
// user-interface thread.
class CQUpdatePropertyPageDownload : public CQUpdatePropertyPage {
  Q_OBJECT

 public:
  explicit CQUpdatePropertyPageDownload(CQUpdateDlgMgr& orchestrator, QWidget* parent = nullptr);
  ~CQUpdatePropertyPageDownload() override;

  // Empties the lines and the status line and puts the bar back to 0.
  void Activate() override;

  QProgressBar* ProgressBar() const;
  QLabel* StatusText() const;
  QListWidget* Lines() const;
  // Appends text as the last line and selects it, so the newest line shows.
  void AddProgressLine(const QString& text);
  void EnableCancel(bool enable);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OnCancel();

  CQUpdateDlgMgr& m_orchestrator;
  std::unique_ptr<Ui::CQUpdatePropertyPageDownload> m_ui;
};

}  // namespace qrv
