#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class CQUpdateAboutDlg;
}

namespace qrv {

// The About box: the program icon, its name, the program's own version and
// the maker's notice. Run modally (exec()); OK or Escape closes it.
//
// The version shown is the one `qrvupdate --version` prints: the program
// file carries no version resource here to read it from.
//
// Thread: the user-interface thread.
class CQUpdateAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CQUpdateAboutDlg(QWidget* parent = nullptr);
  ~CQUpdateAboutDlg() override;

  // The version text the dialog shows (static 1062), e.g. "0.1.0".
  static QString VersionText();

 private:
  std::unique_ptr<Ui::CQUpdateAboutDlg> m_ui;
};

}  // namespace qrv
