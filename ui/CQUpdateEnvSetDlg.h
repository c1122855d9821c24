#pragma once

#include <QDialog>
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "config/tagSERVERINFO.h"

class QLineEdit;
namespace Ui {
class CQUpdateEnvSetDlg;
}

namespace qrv {

// The settings dialog: how updates are fetched (Internet, a network folder or
// an FTP server, with address, user, password and port), whether the updater
// starts at log-on and how often it looks, and where downloads are kept.
//
// exec() answers Accepted only after a successful Apply: the input checked,
// the server reached, the start-at-log-on entry written or removed
// (LogOnEntry), the download folder made, and everything stored in the
// settings store. Every failure shows a box captioned "Settings" and leaves
// the dialog open with the input as typed; nothing is stored then.
//
// Writes to the store outside Apply: clicking a server-type radio copies that
// type's saved values into the active server values at once (they stay when
// the dialog is cancelled), and Defaults writes the server path values.
//
// The connection test runs on a worker thread while this thread keeps
// painting and running timers; the dialog is disabled and the cursor busy
// until it answers.
//
// Thread: the user-interface thread.
class CQUpdateEnvSetDlg : public QDialog {
  Q_OBJECT

 public:
  // The longest stored (encrypted) password text the store reads back.
  static constexpr size_t kMaxStoredPasswordChars = 255;
  // How often the window is serviced while the connection test runs.
  static constexpr int kPumpIntervalMs = 20;

  explicit CQUpdateEnvSetDlg(QWidget* parent = nullptr);
  ~CQUpdateEnvSetDlg() override;

  // True while the connection test runs.
  bool Busy() const { return m_busy; }

 public slots:
  // Cancel, Escape and the close box; refused while the connection test runs.
  void reject() override;

 protected:
  // Enter in any control applies (and is consumed).
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void Open();
  void SelectServerType(uint32_t type, bool writeStore);
  void ShowServer(const tagSERVERINFO& info);
  void SetAutoUpdate(bool on);
  void Browse(QLineEdit* edit, uint32_t titleId);
  void Defaults();
  void Apply();
  bool Validate();
  bool TestConnection(const tagSERVERINFO& server);
  void WriteLogOnEntry() const;
  bool TestDownloadFolder() const;
  void Store() const;
  uint32_t CheckedType() const;
  tagSERVERINFO FromFields(uint32_t type) const;
  void Fail(uint32_t stringId) const;

  // What each type's fields held when another type was chosen; index 0 unused.
  std::array<tagSERVERINFO, 4> m_scratch{};
  std::array<bool, 4> m_visited{};
  uint32_t m_type = 0;  // 0 until the first selection
  // The Internet type's server (the maker's update service unless the store
  // names another), which that type's disabled fields do not show.
  std::string m_internetPath;
  bool m_oldPlatform = false;
  bool m_busy = false;
  std::unique_ptr<Ui::CQUpdateEnvSetDlg> m_ui;
};

}  // namespace qrv
