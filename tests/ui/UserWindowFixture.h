#pragma once

#include <gtest/gtest.h>

#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CQUpdateBaseProcess.h"
#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/SkipUnlessServer.h"
#include "ui/CQUpdateDlgUser.h"
#include "ui/CQUpdatePropertyPageDownload.h"
#include "ui/CQUpdatePropertyPageList.h"
#include "ui/FormTexts.h"
#include "ui/QtEventPump.h"

namespace qrv::test {

// The update window with a look at every status report: what the status
// line then says, whether Cancel may be pressed, the window's height against
// the download page's progress bar, and a hook (onText) where a test acts
// mid-run.
class WatchedWindow : public CQUpdateDlgUser {
 public:
  void SetProgressText(platform::ProgressKind kind, std::string_view file, uint32_t value) override {
    CQUpdateDlgUser::SetProgressText(kind, file, value);
    const QString status = DownloadPage()->StatusText()->text();
    longestStatus = std::max(longestStatus, status.size());
    const QPushButton* cancel = FormTexts::Find<QPushButton>(DownloadPage(), 1034);
    if (kind == platform::ProgressKind::kCopying) copyingWithCancel |= cancel->isEnabled();
    if (kind == platform::ProgressKind::kDownloading) downloadingWithCancel &= cancel->isEnabled();
    const QProgressBar* bar = DownloadPage()->ProgressBar();
    downloadFit = height() - bar->mapTo(this, QPoint(0, bar->height())).y();
    if (onText) onText(kind);
  }
  void UpdateFinalize() override {
    finalized = true;
    CQUpdateDlgUser::UpdateFinalize();
  }

  std::function<void(platform::ProgressKind)> onText;
  qsizetype longestStatus = 0;
  bool copyingWithCancel = false;
  bool downloadingWithCancel = true;
  bool finalized = false;
  int downloadFit = 0;
};

// The update window's machine: the two updates of E2eRunFixture served over
// loopback HTTP and a process object in interactive mode whose window is a
// WatchedWindow, pumped as RunDialog does (made again by NewWindow).
//
// Call order: SetUp, then Serve... and Open (or the window's own calls).
// Thread: the test's main thread.
class UserWindowFixture : public E2eRunFixture {
 protected:
  void SetUp() override {
    E2eRunFixture::SetUp();
    ServeTwoUpdates();
    const std::string why = UseTransport(Transport::kHttp);
    QRV_SKIP_UNLESS_SERVER(why.empty(), why);
    NewWindow();
  }
  void TearDown() override {
    m_pump.reset();
    m_dlg = nullptr;
    m_window = nullptr;
    E2eRunFixture::TearDown();
  }

  // A fresh process object with the update window (the fixture's goes
  // first: the process object is one per program).
  void NewWindow() {
    m_pump.reset();
    m_window = nullptr;
    m_process.reset();
    m_process = std::make_unique<CQUpdateBaseProcess>();
    m_process->SetAutoMode(0);
    m_process->SetDlgMgr(std::make_unique<WatchedWindow>());
    m_dlg = static_cast<WatchedWindow*>(m_process->DlgMgr());
    m_pump = std::make_unique<QtEventPump>();
  }
  // The window up with the server asked, as RunDialog shows it.
  void Open() {
    m_dlg->UpdatePrepare(0);
    m_dlg->show();
  }

  QTreeWidget* List() const { return m_dlg->ListPage()->List(); }
  QPushButton* Button(int id) const { return FormTexts::Find<QPushButton>(m_dlg->ListPage(), id); }
  QString Content() const { return m_dlg->ListPage()->Content()->toPlainText(); }
  QTreeWidgetItem* Row(const std::string& product) const {
    for (int i = 0; i < List()->topLevelItemCount(); ++i) {
      if (List()->topLevelItem(i)->data(0, Qt::UserRole).toString().toStdString() == product) return List()->topLevelItem(i);
    }
    ADD_FAILURE() << "no row for " << product;
    return nullptr;
  }
  // The download page's progress lines.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (int i = 0; i < m_dlg->DownloadPage()->Lines()->count(); ++i) {
      lines.push_back(m_dlg->DownloadPage()->Lines()->item(i)->text().toStdString());
    }
    return lines;
  }

  WatchedWindow* m_dlg = nullptr;
  std::unique_ptr<QtEventPump> m_pump;
};

}  // namespace qrv::test
