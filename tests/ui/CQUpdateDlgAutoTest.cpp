// The automatic run's window against the real engine over loopback HTTP,
// with the notification area recorded: what the user would see in the tray
// (icon, tip, balloons) and where each stored state resumes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/UpdateState.h"
#include "res/StringIds.h"
#include "tests/ui/AutoRunFixture.h"
#include "tests/support/RecordingMessages.h"
#include "tests/support/SkipUnlessServer.h"
#include "tests/ui/RecordingTrayArea.h"
#include "ui/CQUpdateDlgAuto.h"
#include "ui/CQUpdateUtilTrayIcon.h"
#include "ui/FormTexts.h"
#include "ui/TrayArea.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;

// The balloons the run showed, as string ids of the table (0 for another text).
std::vector<uint32_t> Balloons(const test::RecordingTrayArea& area) {
  std::vector<uint32_t> ids;
  for (const auto& entry : area.entries) {
    if (entry.record.balloon.isEmpty()) continue;
    uint32_t id = 0;
    for (uint32_t candidate : {116u, 119u, 120u, 130u, 143u, 145u, 148u}) {
      if (entry.record.balloon == FormTexts::Text(candidate)) id = candidate;
    }
    ids.push_back(id);
  }
  return ids;
}

// The window with a way to put the run in a phase, for the tip's figures.
class TestAuto : public CQUpdateDlgAuto {
 public:
  void SetPhase(UpdatePhase phase) { m_phase = phase; }
};

class DlgAutoTest : public test::AutoRunFixture<TestAuto> {
 protected:
  // A click on the icon's balloon once the run waits for one: its icon is
  // up and no phase is under way.
  void ClickLater(test::RecordingTrayArea& area, uint32_t id) {
    auto* timer = new QTimer(m_auto);
    timer->setInterval(1);
    QObject::connect(timer, &QTimer::timeout, [this, &area, id, timer] {
      const CQUpdateUtilTrayIcon* tray = m_auto->TrayIcon();
      if (tray == nullptr || tray->Id() != id) return;
      if (m_auto->Phase() != UpdatePhase::kPrepare && m_auto->Phase() != UpdatePhase::kWait) return;
      timer->stop();
      area.Click(id, TrayArea::kBalloonClick);
    });
    timer->start();
  }
  void ExpectUpdated() const {
    EXPECT_EQ(Version("Writer"), 7u);
    EXPECT_EQ(Version("Calc"), 6u);
  }

};

TEST_F(DlgAutoTest, AWholeRunWaitsForTheBalloonAndEndsComplete) {
  NewAuto();
  ClickLater(*m_tray, CQUpdateDlgAuto::kIconIdle);
  EXPECT_EQ(m_auto->RunDialog(), 1);

  ExpectUpdated();
  EXPECT_EQ(State(), 0u) << "a completed run resets the state";
  EXPECT_EQ(m_auto->ExitCode(), 0);
  ASSERT_FALSE(m_tray->entries.empty());
  EXPECT_EQ(m_tray->entries.front().kind, test::RecordingTrayArea::Kind::kAdd);
  EXPECT_EQ(m_tray->entries.front().record.id, 149u);
  EXPECT_EQ(Balloons(*m_tray), (std::vector<uint32_t>{116, 119, 120}));
  bool working = false, percent = false;
  for (const auto& entry : m_tray->entries) {
    working |= entry.record.picture == CQUpdateDlgAuto::kIconWorking;
    percent |= entry.record.tip.endsWith('%');
  }
  EXPECT_TRUE(working && percent) << "the working icon and the download's percentage in the tip";
  EXPECT_EQ(m_tray->entries.back().record.picture, CQUpdateDlgAuto::kIconIdle);
  EXPECT_FALSE(m_auto->isVisible());
}

TEST_F(DlgAutoTest, NothingPendingEndsWithoutAnIcon) {
  Serve("qupdate_s.ini", "[VersionInfo]\nWriter=5\n[UpdateVersionInfo]\nWriter=5\n[COUNT]\n");
  NewAuto();
  m_auto->RunDialog();
  EXPECT_TRUE(m_tray->entries.empty());
  EXPECT_EQ(State(), 0u);
}

// Where a run interrupted at each stored state goes on.
TEST_F(DlgAutoTest, ResumesByTheStoredState) {
  for (uint32_t state : {12u, 23u, 21u}) {
    SCOPED_TRACE(state);
    DownloadOnly();
    m_main.SetDword("UpdateState", state);
    m_tray->entries.clear();
    NewAuto();
    ClickLater(*m_tray, CQUpdateDlgAuto::kIconReady);
    m_auto->RunDialog();
    ASSERT_GE(m_tray->entries.size(), 2u);
    EXPECT_EQ(m_tray->entries[0].record.id, 151u) << "ready to install";
    EXPECT_EQ(Balloons(*m_tray), (std::vector<uint32_t>{116, 148, 120})) << "no new download, the copy after the click";
    ExpectUpdated();
    EXPECT_EQ(State(), 0u);
    OldLevels();
  }
  // Copied but not finalized: straight to the finalize, no click needed.
  DownloadOnly();
  ASSERT_EQ(m_window->UpdateCopyFile(), 1);
  for (uint32_t state : {22u, 31u, 32u, 41u}) {
    SCOPED_TRACE(state);
    m_main.SetDword("UpdateState", state);
    m_tray->entries.clear();
    NewAuto();
    m_auto->RunDialog();
    EXPECT_EQ(Balloons(*m_tray), (std::vector<uint32_t>{116, 120}));
    EXPECT_EQ(m_tray->entries.front().record.id, 149u);
    EXPECT_EQ(State(), 0u);
  }
}

// The download cannot connect: the server is asked again and the run waits,
// prepared, with "Update aborted" on the idle icon; it never goes on to a copy.
TEST_F(DlgAutoTest, AFailedConnectionAsksAgainAndWaits) {
  ASSERT_EQ(UseTransport(test::Transport::kFolder), "");
  const fs::path info = m_root / "srv" / "qupdate_s.ini";
  // The folder comes back while the failure is being told.
  class Restoring : public test::RecordingMessages {
   public:
    std::function<void()> onNoNetwork;
    int Show(uint32_t id, uint32_t kind) override {
      if (id == kStringNoNetwork && onNoNetwork) onNoNetwork();
      return RecordingMessages::Show(id, kind);
    }
  };
  auto messages = std::make_shared<Restoring>();
  messages->onNoNetwork = [&] { fs::rename(m_root / "srv" / "away.ini", info); };
  platform::MessageService::Install(messages);
  NewAuto();
  auto* timer = new QTimer(m_auto);
  timer->setInterval(1);
  int step = 0;
  QObject::connect(timer, &QTimer::timeout, [&] {
    if (m_auto->TrayIcon() == nullptr || m_auto->Phase() != UpdatePhase::kPrepare) return;
    if (step == 0) {
      step = 1;
      fs::rename(info, m_root / "srv" / "away.ini");  // the folder is gone at the download
      m_tray->Click(CQUpdateDlgAuto::kIconIdle, TrayArea::kBalloonClick);
    } else if (step == 1) {
      step = 2;
      EXPECT_EQ(Balloons(*m_tray).back(), 130u);
      EXPECT_EQ(m_tray->entries.back().record.picture, CQUpdateDlgAuto::kIconIdle);
      EXPECT_FALSE(m_auto->isVisible());
      m_auto->OnCommand(CQUpdateDlgAuto::kCommandExit);  // answered OK: the run ends
    }
  });
  timer->start();
  m_auto->RunDialog();
  platform::MessageService::Install(m_messages);
  EXPECT_EQ(step, 2);
  EXPECT_EQ(messages->shown, (std::vector<uint32_t>{kStringNoNetwork, 141}));
  EXPECT_EQ(Version("Writer"), 5u);
}

TEST_F(DlgAutoTest, ExitAndCancelFollowThePhase) {
  DownloadOnly();
  // Exit while the run waits: asked (141); Cancel keeps it waiting, OK ends
  // it with "Update Aborted." and keeps the state for the next start.
  NewAuto();
  m_messages->answers = {platform::MessageService::kAnswerCancel, platform::MessageService::kAnswerOk};
  QTimer::singleShot(0, [this] {
    m_auto->OnCommand(CQUpdateDlgAuto::kCommandExit);
    EXPECT_FALSE(m_auto->Ended());
    m_auto->OnCommand(CQUpdateDlgAuto::kCommandExit);
  });
  m_auto->RunDialog();
  EXPECT_EQ(m_messages->shown, (std::vector<uint32_t>{141, 141}));
  EXPECT_EQ(Balloons(*m_tray).back(), 145u);
  EXPECT_EQ(State(), 12u);
  EXPECT_EQ(Version("Writer"), 5u);

  // Cancel during the copy answered Cancel: the copy goes on. Escape and
  // Exit in the finalize change nothing.
  m_messages->shown.clear();
  m_messages->answers = {platform::MessageService::kAnswerCancel};
  NewAuto();
  bool asked = false;
  auto* watch = new QTimer(m_auto);
  watch->setInterval(0);
  QObject::connect(watch, &QTimer::timeout, [&] {
    if (m_auto->Phase() == UpdatePhase::kFileCopy && !asked) {
      asked = true;
      FormTexts::Find<QPushButton>(m_auto, 1056)->click();
      QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QApplication::sendEvent(m_auto, &escape);
    }
    if (m_auto->Phase() == UpdatePhase::kFinalize) m_auto->OnCommand(CQUpdateDlgAuto::kCommandExit);
  });
  watch->start();
  ClickLater(*m_tray, CQUpdateDlgAuto::kIconReady);
  m_auto->RunDialog();
  EXPECT_TRUE(asked);
  EXPECT_EQ(m_messages->shown.front(), kStringStopCopy);
  ExpectUpdated();
  EXPECT_EQ(State(), 0u);
}

TEST_F(DlgAutoTest, TheTipCountsTheDownloadInPercent) {
  Serve("qupdate_s.ini",
        "[VersionInfo]\nWriter=7.0.1\nCalc=6.2\n[UpdateVersionInfo]\nWriter=7\nCalc=6\n[COUNT]\nWriter=5\nCalc=3\n");
  NewAuto();
  ASSERT_TRUE(m_auto->UpdatePrepare(116));
  ASSERT_EQ(m_process->GetTotalFileCount(), 8);
  m_auto->SetPhase(UpdatePhase::kDownload);
  m_auto->SetProgressText(platform::ProgressKind::kDownloading, "writer.cab", 2);
  EXPECT_EQ(m_auto->TrayIcon()->Tip(), FormTexts::Text(123) + "25%");
  EXPECT_EQ(m_auto->TrayIcon()->Picture(), CQUpdateDlgAuto::kIconWorking);
  m_auto->SetProgressText(platform::ProgressKind::kDownloading, "writer.cab", 3);
  EXPECT_EQ(m_auto->TrayIcon()->Tip(), FormTexts::Text(123) + "38%");

  Serve("qupdate_s.ini",
        "[VersionInfo]\nWriter=7.0.1\nCalc=6.2\n[UpdateVersionInfo]\nWriter=7\nCalc=6\n[COUNT]\nWriter=2\nCalc=1\n");
  NewAuto();
  ASSERT_TRUE(m_auto->UpdatePrepare(116));
  ASSERT_EQ(m_process->GetTotalFileCount(), 3);
  m_auto->SetPhase(UpdatePhase::kDownload);
  m_auto->SetProgressText(platform::ProgressKind::kDownloading, "writer.cab", 1);
  EXPECT_EQ(m_auto->TrayIcon()->Tip(), FormTexts::Text(123) + "33%");
}

TEST_F(DlgAutoTest, AFailedDownloadEndsTheProcessCleanly) {
  // A cabinet the maker did not sign: refused, state 0, folder cleaned, exit 1.
  ServeCabinet("writer.cab", {{"bin/writer.txt", "writer 7"}});
  test::WriteFile(m_root / "srv" / "writer.cab", "not a cabinet");
  NewAuto();
  ClickLater(*m_tray, CQUpdateDlgAuto::kIconIdle);
  m_auto->RunDialog();
  EXPECT_EQ(m_auto->ExitCode(), 1);
  EXPECT_EQ(State(), 0u);
  EXPECT_EQ(Version("Writer"), 5u);
}

TEST_F(DlgAutoTest, WithoutANotificationAreaTheRunGoesOnInItsWindow) {
  m_tray->available = false;
  NewAuto();
  m_auto->RunDialog();
  ExpectUpdated();
  EXPECT_EQ(State(), 0u);
}

}  // namespace
}  // namespace qrv
