// One update window per session: the marks a running window holds, the
// requests a second start sends it over the local channel, and real second
// starts of qrvupdate while another process holds a mark.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/InstanceLock.h"
#include "platform/registry/RegistryKey.h"
#include "tests/support/SkipUnlessServer.h"
#include "tests/support/AccessWatch.h"
#include "tests/support/SandboxRoot.h"
#include "tests/ui/UiWait.h"
#include "ui/InstanceChannel.h"

namespace qrv {
namespace {

using platform::InstanceLock;
using test::WaitFor;

class InstanceStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::RegistryKey main;
    ASSERT_EQ(platform::RegistryKey::Create(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, main),
              platform::RegStatus::kOk);
    main.SetDword("Auto", 1);
    QObject::connect(m_channel.get(), &InstanceChannel::notifyState, [this] { ++m_notifyState; });
    QObject::connect(m_channel.get(), &InstanceChannel::front, [this] { ++m_front; });
  }
  void TearDown() override {
    for (auto& holder : m_holders) Release(*holder);
  }

  // A process of its own holding the mark name while it waits on its
  // standard input: the shell opens the file, flock locks that open file and
  // ends, and the shell becomes cat, the one process that holds it. Null
  // when the flock program is missing.
  QProcess* Hold(std::string_view name) {
    if (QStandardPaths::findExecutable(QStringLiteral("flock")).isEmpty()) return nullptr;
    std::string folder;
    std::string error;
    EXPECT_TRUE(InstanceLock::RuntimeFolder(folder, error)) << error;
    auto holder = std::make_unique<QProcess>();
    holder->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exec 3>>\"$0\" && flock 3 && exec cat"),
                                              QString::fromStdString(InstanceLock::Path(name))});
    EXPECT_TRUE(WaitFor([&] { return InstanceLock::IsHeldElsewhere(name, error); }, 10000))
        << "the holder never took " << InstanceLock::Path(name) << ": " << error;
    m_holders.push_back(std::move(holder));
    return m_holders.back().get();
  }
  static void Release(QProcess& holder) {
    holder.closeWriteChannel();  // cat ends, and the lock with it
    WaitFor([&] { return holder.state() == QProcess::NotRunning; }, 10000);
  }

  struct Start {
    int exitCode = -1;
    QString out;
  };
  // qrvupdate ARGS... on this sandbox root, offscreen, in English.
  Start Qrvupdate(const QStringList& args) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(QRVUPDATE_PATH),
                  QStringList{QStringLiteral("--root"), QString::fromStdString(m_root.Path().string())} + args);
    // The running window's side answers meanwhile: events must run here.
    const bool ended = WaitFor([&] { return process.state() == QProcess::NotRunning; }, 60000);
    EXPECT_TRUE(ended) << "qrvupdate did not end";
    if (!ended) process.kill();
    process.waitForFinished(5000);
    Start start;
    start.out = QString::fromLocal8Bit(process.readAll());
    start.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return start;
  }
  // Sends request from here, after everything a start sent, and waits until
  // it has arrived: what the starts sent has arrived before it (connections
  // are accepted in order). Counts the request itself.
  void Barrier(InstanceChannel::Request request) {
    int& counter = request == InstanceChannel::Request::kFront ? m_front : m_notifyState;
    const int before = counter;
    QString error;
    ASSERT_TRUE(InstanceChannel::Send(request, error)) << error.toStdString();
    EXPECT_TRUE(WaitFor([&] { return counter > before; }, 10000));
  }

  test::SandboxRoot m_root;
  std::unique_ptr<InstanceChannel> m_channel = std::make_unique<InstanceChannel>();  // the running window's side
  int m_notifyState = 0;
  int m_front = 0;
  std::vector<std::unique_ptr<QProcess>> m_holders;
};

TEST_F(InstanceStartTest, AStartWhileAnAutomaticRunLivesHandsOverAndReadsNothing) {
  QString error;
  ASSERT_TRUE(m_channel->Listen(error)) << error.toStdString();
  QRV_SKIP_UNLESS_SERVER(Hold(InstanceLock::kAutomatic) != nullptr, "no flock program");
  std::vector<std::unique_ptr<test::AccessWatch>> stores;
  for (const auto& entry : std::filesystem::directory_iterator(m_root / "var/lib/qrvupdate")) {
    stores.push_back(std::make_unique<test::AccessWatch>(entry.path()));
  }
  ASSERT_FALSE(stores.empty());

  // Each start, interactive or automatic, sends one request and ends quietly.
  int expected = 0;
  for (const QStringList& args : {QStringList{}, QStringList{QStringLiteral("--auto")}}) {
    const Start start = Qrvupdate(args);
    EXPECT_EQ(start.exitCode, 0) << start.out.toStdString();
    EXPECT_TRUE(start.out.isEmpty()) << start.out.toStdString();
    ++expected;
    EXPECT_TRUE(WaitFor([&] { return m_notifyState >= expected; }, 10000));
  }
  Barrier(InstanceChannel::Request::kFront);
  EXPECT_EQ(m_notifyState, 2);
  EXPECT_EQ(m_front, 1) << "the barrier only";
  for (const auto& store : stores) EXPECT_FALSE(store->Read()) << "a setting was read " << store->Why();
  EXPECT_FALSE(std::filesystem::exists(m_root / "var/lib/qrvupdate/run.lock")) << "the run lock was taken";
  EXPECT_FALSE(std::filesystem::exists(m_root / "var/log")) << "the trace was opened";
}

TEST_F(InstanceStartTest, AStartWhileTheWindowLivesBringsItToTheFront) {
  QString error;
  ASSERT_TRUE(m_channel->Listen(error)) << error.toStdString();
  QRV_SKIP_UNLESS_SERVER(Hold(InstanceLock::kInteractive) != nullptr, "no flock program");
  const Start start = Qrvupdate({QStringLiteral("--auto")});
  EXPECT_EQ(start.exitCode, 0) << start.out.toStdString();
  EXPECT_TRUE(WaitFor([&] { return m_front >= 1; }, 10000));
  Barrier(InstanceChannel::Request::kNotifyState);
  EXPECT_EQ(m_front, 1);
  EXPECT_EQ(m_notifyState, 1) << "the barrier only";
  EXPECT_FALSE(std::filesystem::exists(m_root / "var/lib/qrvupdate/run.lock"));

  // With no window answering (it has not opened its channel yet) the start
  // ends all the same, quietly.
  m_channel.reset();
  ASSERT_EQ(InstanceChannel::Running(), nullptr);
  const Start unanswered = Qrvupdate({});
  EXPECT_EQ(unanswered.exitCode, 0);
  EXPECT_TRUE(unanswered.out.isEmpty()) << unanswered.out.toStdString();
}

TEST_F(InstanceStartTest, AMarkLeftByAKilledHolderDoesNotBlock) {
  QString error;
  ASSERT_TRUE(m_channel->Listen(error)) << error.toStdString();
  QProcess* holder = Hold(InstanceLock::kAutomatic);
  QRV_SKIP_UNLESS_SERVER(holder != nullptr, "no flock program");
  holder->kill();  // SIGKILL: no chance to tidy up
  ASSERT_TRUE(WaitFor([&] { return holder->state() == QProcess::NotRunning; }, 10000));
  ASSERT_TRUE(std::filesystem::exists(InstanceLock::Path(InstanceLock::kAutomatic)));

  std::string why;
  EXPECT_FALSE(InstanceLock::IsHeldElsewhere(InstanceLock::kAutomatic, why));
  EXPECT_EQ(why, "");
  {
    InstanceLock mark(InstanceLock::kAutomatic);
    EXPECT_EQ(mark.Take(), InstanceLock::Outcome::kTaken) << mark.Error();
    InstanceLock second(InstanceLock::kAutomatic);
    EXPECT_EQ(second.Take(), InstanceLock::Outcome::kBusy);
    EXPECT_NE(second.Error().find(InstanceLock::Path(InstanceLock::kAutomatic)), std::string::npos) << second.Error();
    EXPECT_TRUE(InstanceLock::IsHeldElsewhere(InstanceLock::kAutomatic, why));
  }

  // A start goes past the stale mark without handing over; the schedule
  // then says no (automatic updating is off), before any window is set up.
  platform::RegistryKey main;
  ASSERT_EQ(platform::RegistryKey::Create(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, main),
            platform::RegStatus::kOk);
  main.SetDword("Auto", 0);
  Qrvupdate({QStringLiteral("--auto")});
  Barrier(InstanceChannel::Request::kFront);
  EXPECT_EQ(m_notifyState, 0) << "no hand-over to the killed holder";
  EXPECT_EQ(m_front, 1) << "the barrier only";
}

TEST_F(InstanceStartTest, AFifoOrALinkInPlaceOfAMarkIsRefusedWithoutWaiting) {
  std::string folder;
  std::string error;
  ASSERT_TRUE(InstanceLock::RuntimeFolder(folder, error)) << error;
  const std::string fifo = InstanceLock::Path(InstanceLock::kAutomatic);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink(m_root / "elsewhere", InstanceLock::Path(InstanceLock::kInteractive));
  for (const std::string_view name : {InstanceLock::kAutomatic, InstanceLock::kInteractive}) {
    EXPECT_FALSE(InstanceLock::IsHeldElsewhere(name, error));
    EXPECT_NE(error.find(InstanceLock::Path(name)), std::string::npos) << error;
    InstanceLock mark(name);
    EXPECT_EQ(mark.Take(), InstanceLock::Outcome::kFailed);
    EXPECT_NE(mark.Error().find(InstanceLock::Path(name)), std::string::npos) << mark.Error();
  }
  EXPECT_FALSE(std::filesystem::exists(m_root / "elsewhere"));
}

TEST_F(InstanceStartTest, TheChannelTakesOnlyItsOwnRequests) {
  // A socket file left by a killed window is replaced.
  QString error;
  const QString path = InstanceChannel::ServerPath(error);
  ASSERT_FALSE(path.isEmpty()) << error.toStdString();
  EXPECT_FALSE(InstanceChannel::Send(InstanceChannel::Request::kFront, error));
  EXPECT_TRUE(error.contains(path)) << error.toStdString();
  test::WriteFile(path.toStdString(), "left behind");
  ASSERT_TRUE(m_channel->Listen(error)) << error.toStdString();
  EXPECT_EQ(InstanceChannel::Running(), m_channel.get());

  // Unknown lines and an overlong sender are ignored; the requests count once each.
  QLocalSocket stranger;
  stranger.connectToServer(path);
  ASSERT_TRUE(stranger.waitForConnected(2000));
  stranger.write("ShowAll\nnotifystate\n" + QByteArray(InstanceChannel::kMaxBytes * 2, 'x') + "\nNotifyState\n");
  stranger.waitForBytesWritten(2000);
  ASSERT_TRUE(InstanceChannel::Send(InstanceChannel::Request::kNotifyState, error)) << error.toStdString();
  ASSERT_TRUE(InstanceChannel::Send(InstanceChannel::Request::kFront, error)) << error.toStdString();
  EXPECT_TRUE(WaitFor([&] { return m_notifyState == 1 && m_front == 1; }, 10000));
  Barrier(InstanceChannel::Request::kFront);
  EXPECT_EQ(m_notifyState, 1) << "the stranger's lines counted";
  EXPECT_EQ(m_front, 2);
}

}  // namespace
}  // namespace qrv
