// Attacks on the automatic run and its start-up: requests and balloon clicks
// that arrive while the run is ending, stored states the run never writes,
// a download folder changed between the download and the resumed copy,
// clicks meant for other icons, a runtime folder another user owns and
// channel clients that hang or flood.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/UpdateState.h"
#include "platform/core/InstanceLock.h"
#include "res/StringIds.h"
#include "tests/apply/ApplyFixtures.h"
#include "tests/ui/AutoRunFixture.h"
#include "tests/support/RecordingMessages.h"
#include "tests/support/SecondUser.h"
#include "tests/support/SkipUnlessServer.h"
#include "tests/ui/RecordingTrayArea.h"
#include "tests/ui/UiWait.h"
#include "ui/CQUpdateDlgAuto.h"
#include "ui/CQUpdateUtilTrayIcon.h"
#include "ui/InstanceChannel.h"
#include "ui/TrayArea.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using platform::InstanceLock;
using test::WaitFor;

// Answers 141 (Exit?) with OK and, while that question is open, runs
// onExitQuestion: what reaches a real box's own event loop meanwhile.
class ExitQuestion : public test::RecordingMessages {
 public:
  std::function<void()> onExitQuestion;
  int Show(uint32_t id, uint32_t kind) override {
    if (id == 141 && onExitQuestion) onExitQuestion();
    return RecordingMessages::Show(id, kind);
  }
};

class AutoRunAttackTest : public test::AutoRunFixture<> {
 protected:
  fs::path Downloaded(const std::string& name) const {
    for (const auto& entry : fs::recursive_directory_iterator(Download())) {
      if (entry.path().filename() == name) return entry.path();
    }
    ADD_FAILURE() << name << " not downloaded below " << Download();
    return {};
  }
  // Runs fn once, as soon as the run waits in phase with its icon up.
  void AtPhase(UpdatePhase phase, std::function<void()> fn) {
    auto* timer = new QTimer(m_auto);
    timer->setInterval(1);
    QObject::connect(timer, &QTimer::timeout, [this, phase, fn, timer] {
      if (m_auto->TrayIcon() == nullptr || m_auto->Phase() != phase) return;
      timer->stop();
      fn();
    });
    timer->start();
  }

};

// A run that is ending (the Exit question open, or its last balloon up)
// starts nothing more: a second start's NotifyState (or a balloon click)
// then must not start the copy the user has just said no to.
TEST_F(AutoRunAttackTest, ExitWhileWaitingIsNotUndoneByASecondStartMeanwhile) {
  for (const bool duringQuestion : {true, false}) {
    SCOPED_TRACE(duringQuestion ? "NotifyState while 141 is open" : "NotifyState in the end pause");
    DownloadOnly();
    auto messages = std::make_shared<ExitQuestion>();
    platform::MessageService::Install(messages);
    NewAuto(std::chrono::milliseconds{duringQuestion ? 0 : 300});
    InstanceChannel channel;
    QString error;
    ASSERT_TRUE(channel.Listen(error)) << error.toStdString();
    int delivered = 0;
    QObject::connect(&channel, &InstanceChannel::notifyState, m_auto, [&delivered] { ++delivered; });
    QObject::connect(&channel, &InstanceChannel::notifyState, m_auto, [this] { m_auto->ShowState(); });
    // A second start's request, taken in by the events that run meanwhile
    // (the question's own loop, the end pause).
    const auto secondStart = [&] {
      QLocalSocket start;
      start.connectToServer(InstanceChannel::ServerPath(error));
      ASSERT_TRUE(start.waitForConnected(2000));
      start.write("NotifyState\n");
      start.waitForBytesWritten(2000);
      EXPECT_TRUE(WaitFor([&] { return delivered == 1; }, 10000));
    };
    if (duringQuestion) messages->onExitQuestion = secondStart;
    AtPhase(UpdatePhase::kWait, [&] {
      // The answer to 141 comes at once; the first events after it are the pause's.
      if (!duringQuestion) QTimer::singleShot(0, m_auto, [&] { secondStart(); });
      m_auto->OnCommand(CQUpdateDlgAuto::kCommandExit);
    });
    m_auto->RunDialog();
    EXPECT_EQ(Version("Writer"), 5u) << "the copy ran after Exit was confirmed";
    EXPECT_EQ(State(), 12u) << "the stopped run keeps its state for the next start";
    m_process.reset();
    platform::MessageService::Install(m_messages);
    OldLevels();
  }
}

// Exit from the tray menu during the download, the download kept ("Stop
// download?" answered Cancel) but the exit confirmed (141 OK): the run ends
// there, downloaded and resumable, without going on to the copy.
TEST_F(AutoRunAttackTest, ExitDuringTheDownloadDoesNotGoOnToTheCopy) {
  m_messages->answers = {platform::MessageService::kAnswerCancel, platform::MessageService::kAnswerOk};
  NewAuto();
  bool exited = false;
  auto* watch = new QTimer(m_auto);
  watch->setInterval(0);
  QObject::connect(watch, &QTimer::timeout, [&] {
    if (!exited && m_auto->Phase() == UpdatePhase::kDownload) {
      exited = true;
      m_auto->OnCommand(CQUpdateDlgAuto::kCommandExit);
    }
  });
  watch->start();
  AtPhase(UpdatePhase::kPrepare, [this] { m_tray->Click(CQUpdateDlgAuto::kIconIdle, TrayArea::kBalloonClick); });
  m_auto->RunDialog();
  ASSERT_TRUE(exited);
  EXPECT_EQ(m_messages->shown, (std::vector<uint32_t>{kStringStopDownload, 141}));
  EXPECT_EQ(Version("Writer"), 5u) << "the copy ran after Exit was confirmed";
}

// The automatic window, counting how deep copies nest.
class NestingAuto : public CQUpdateDlgAuto {
 public:
  int32_t UpdateCopyFile() override {
    ++depth;
    deepest = std::max(deepest, depth);
    const int32_t result = CQUpdateDlgAuto::UpdateCopyFile();
    --depth;
    return result;
  }
  int depth = 0;
  int deepest = 0;
};

// A copy the user stopped waits with balloon 130 while the stopped copy is
// still unwinding (rollback on its worker); a click on that balloon then must
// not start a second copy inside the first.
TEST_F(AutoRunAttackTest, AClickWhileAStoppedCopyUnwindsDoesNotNestACopy) {
  DownloadOnly();
  auto* window = NewAuto<NestingAuto>();
  m_messages->answer = platform::MessageService::kAnswerOk;
  bool stopped = false;
  bool clicked = false;
  std::optional<UpdatePhase> stuckIn;
  auto* watch = new QTimer(m_auto);
  watch->setInterval(0);
  QObject::connect(watch, &QTimer::timeout, [&] {
    if (!stopped && m_auto->Phase() == UpdatePhase::kFileCopy) {
      stopped = true;
      m_auto->OnCommand(CQUpdateDlgAuto::kCommandExit);  // Stop copy? OK, then Exit? ...
    }
  });
  // ... answered Cancel: the run stays, waiting with 130; the user clicks it
  // at once, while the stopped copy may still be on the stack.
  m_messages->answers = {platform::MessageService::kAnswerOk, platform::MessageService::kAnswerCancel};
  auto* click = new QTimer(m_auto);
  click->setInterval(0);
  QObject::connect(click, &QTimer::timeout, [&] {
    if (stopped && m_auto->Phase() == UpdatePhase::kWait) {
      // Clicked again while it waits: a click taken too early may be ignored.
      if (!clicked) {
        // A run that has not ended 20 s after the first click is stuck: end it here.
        QTimer::singleShot(20000, m_auto, [&] {
          if (m_auto->Ended()) return;
          stuckIn = m_auto->Phase();
          m_auto->EndProcess(9);
        });
      }
      clicked = true;
      m_tray->Click(CQUpdateDlgAuto::kIconReady, TrayArea::kBalloonClick);
    }
  });
  watch->start();
  click->start();
  AtPhase(UpdatePhase::kWait, [this] {
    if (m_auto->Phase() == UpdatePhase::kWait) m_tray->Click(CQUpdateDlgAuto::kIconReady, TrayArea::kBalloonClick);
  });
  m_auto->RunDialog();
  EXPECT_TRUE(stopped);
  EXPECT_TRUE(clicked);
  EXPECT_EQ(window->deepest, 1) << "a copy ran inside another";
  EXPECT_FALSE(stuckIn.has_value()) << "the run stayed in phase " << static_cast<int>(stuckIn.value_or(UpdatePhase::kNone));
  EXPECT_EQ(m_messages->shown, (std::vector<uint32_t>{kStringStopCopy, 141, kStringFinished}));
  EXPECT_EQ(Version("Writer"), 7u) << "the copy started again was not done";
}

// Stored states the window never writes (a damaged or edited store) start a
// fresh check: no resumed copy, nothing from the download folder unpacked.
TEST_F(AutoRunAttackTest, OddStoredStatesStartAFreshCheck) {
  DownloadOnly();
  for (const uint32_t state : {0xFFFFFFFFu, 13u, 14u, 42u, 99u}) {
    SCOPED_TRACE(state);
    m_main.SetDword("UpdateState", state);
    m_tray->entries.clear();
    NewAuto();
    UpdatePhase seen = UpdatePhase::kNone;
    AtPhase(UpdatePhase::kPrepare, [&] {
      seen = m_auto->Phase();
      m_auto->OnCommand(CQUpdateDlgAuto::kCommandExit);
    });
    m_auto->RunDialog();
    EXPECT_EQ(seen, UpdatePhase::kPrepare);
    ASSERT_FALSE(m_tray->entries.empty());
    EXPECT_EQ(m_tray->entries.front().record.id, static_cast<uint32_t>(CQUpdateDlgAuto::kIconIdle))
        << "resumed as ready to install";
    EXPECT_EQ(Version("Writer"), 5u);
    EXPECT_EQ(Version("Calc"), 5u);
  }
}

// Between the download (state 12) and the resumed copy the folder is
// changed: a cabinet signed by someone else (trusted root, other maker; an
// untrusted root) or a link in place of the cabinet. The copy checks again
// and unpacks nothing.
TEST_F(AutoRunAttackTest, ACabinetSwappedBeforeTheResumedCopyIsRefused) {
  const fs::path outside = m_root / "outside" / "genuine.cab";
  for (const std::string swap : {"other", "untrusted", "link"}) {
    SCOPED_TRACE(swap);
    DownloadOnly();
    const fs::path cabinet = Downloaded("writer.cab");
    ASSERT_FALSE(cabinet.empty());
    if (swap == "link") {
      fs::create_directories(outside.parent_path());
      fs::copy_file(cabinet, outside, fs::copy_options::overwrite_existing);
      fs::remove(cabinet);
      fs::create_symlink(outside, cabinet);
    } else {
      test::ApplyFixtures::MakeSignedCabinet(m_fixtures, cabinet, {{"bin/writer.txt", "planted by " + swap}}, swap);
    }
    m_tray->entries.clear();
    m_tray->available = false;  // the resumed copy goes on by itself
    NewAuto();
    m_auto->RunDialog();
    const fs::path installed = Install("Writer") / "bin" / "writer.txt";
    if (fs::exists(installed)) {
      EXPECT_EQ(test::ReadFile(installed).find("planted"), std::string::npos) << "a swapped cabinet was unpacked";
    }
    // The maker's own cabinet through a link is still the maker's: only a
    // foreign signature must stop the copy.
    if (swap != "link") {
      EXPECT_EQ(Version("Writer"), 5u);
    }
    OldLevels();
  }
}

// Clicks on icons that are not ours (another program's notification, a
// stray identifier) never move the run on; ours does.
TEST_F(AutoRunAttackTest, ClicksOfOtherIconsDoNotMoveTheRun) {
  NewAuto();
  bool stayed = false;
  AtPhase(UpdatePhase::kPrepare, [&] {
    for (const uint32_t id : {0u, 1u, 128u, 152u, 0xFFFFFFFFu}) {
      m_tray->Click(id, TrayArea::kBalloonClick);
      m_tray->Click(id, TrayArea::kLeftDoubleClick);
    }
    stayed = m_auto->Phase() == UpdatePhase::kPrepare;
    m_auto->OnCommand(CQUpdateDlgAuto::kCommandExit);
  });
  m_auto->RunDialog();
  EXPECT_TRUE(stayed) << "a foreign click started the download";
  EXPECT_EQ(Version("Writer"), 5u);
}

// A runtime folder another user owns (made before us, or put in place of
// ours) is never used: no mark, no channel, nothing to hand a start over to.
TEST_F(AutoRunAttackTest, ARuntimeFolderOfAnotherUserIsRefused) {
  QRV_SKIP_UNLESS_SERVER(geteuid() == 0, "needs root to give a folder to the second user");
  std::string folder;
  std::string error;
  ASSERT_TRUE(InstanceLock::RuntimeFolder(folder, error)) << error;
  ASSERT_EQ(chown(folder.c_str(), test::SecondUser::kUid, test::SecondUser::kUid), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
  InstanceLock mark(InstanceLock::kAutomatic);
  EXPECT_EQ(mark.Take(), InstanceLock::Outcome::kFailed);
  EXPECT_NE(mark.Error().find(folder), std::string::npos) << mark.Error();
  QString why;
  EXPECT_TRUE(InstanceChannel::ServerPath(why).isEmpty());
  InstanceChannel channel;
  EXPECT_FALSE(channel.Listen(why));
  EXPECT_FALSE(InstanceChannel::Send(InstanceChannel::Request::kNotifyState, why));
  EXPECT_FALSE(fs::exists(InstanceLock::Path(InstanceLock::kAutomatic)));

  // The folder's parent open to others: the folder could be swapped, refused.
  ASSERT_EQ(chown(folder.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
  const fs::path parent = fs::path(folder).parent_path();
  ASSERT_EQ(chmod(parent.c_str(), 0777), 0);
  EXPECT_EQ(mark.Take(), InstanceLock::Outcome::kFailed) << "a swappable runtime folder was used";
  ASSERT_EQ(chmod(parent.c_str(), 0700), 0);
}

// Channel clients that hang, flood or send one endless line hold nothing
// up: a real start's request still arrives at once, exactly once.
TEST_F(AutoRunAttackTest, HangingAndFloodingClientsDoNotHoldUpAStart) {
  InstanceChannel channel;
  QString error;
  ASSERT_TRUE(channel.Listen(error)) << error.toStdString();
  int notify = 0;
  QObject::connect(&channel, &InstanceChannel::notifyState, [&] { ++notify; });
  const QString path = InstanceChannel::ServerPath(error);
  std::vector<std::unique_ptr<QLocalSocket>> silent;
  for (int i = 0; i < 200; ++i) {
    silent.push_back(std::make_unique<QLocalSocket>());
    silent.back()->connectToServer(path);
    ASSERT_TRUE(silent.back()->waitForConnected(2000)) << i;
    QCoreApplication::processEvents();  // the window takes each in
  }
  QLocalSocket endless;
  endless.connectToServer(path);
  ASSERT_TRUE(endless.waitForConnected(2000));
  endless.write(QByteArray(1 << 20, 'N'));
  EXPECT_TRUE(WaitFor([&] { return endless.state() == QLocalSocket::UnconnectedState; }, 10000))
      << "an endless line was kept";

  QElapsedTimer clock;
  clock.start();
  ASSERT_TRUE(InstanceChannel::Send(InstanceChannel::Request::kNotifyState, error)) << error.toStdString();
  EXPECT_LT(clock.elapsed(), InstanceChannel::kDeadlineMs);
  EXPECT_TRUE(WaitFor([&] { return notify == 1; }, 10000));
  EXPECT_EQ(notify, 1);
}

}  // namespace
}  // namespace qrv
