// The engine service for real: qrvupdate-engine started by the test in the
// sandbox root on a private socket, the windows' side either the real
// qrvupdate program (--engine=service) or this process speaking the
// protocol itself, as a hostile or dying client would.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/CQUpdateBaseProcess.h"
#include "app/remote/RemoteChannel.h"
#include "app/remote/RemoteUpdateEngine.h"
#include "app/remote/RemoteValues.h"
#include "config/CQUpdateMgrEnv.h"
#include "res/CQUpdateStrings.h"
#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/DemoTreeFixture.h"
#include "tests/support/RecordingMessages.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SecondUser.h"
#include "tests/support/SkipUnlessServer.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using remote::Message;
using remote::RemoteChannel;
using remote::RemoteValues;
using remote::Values;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kWait{60};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Waits for condition, checking every few milliseconds, up to limit.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds{10});
  }
  return true;
}

int ConnectTo(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A client that speaks the protocol itself: it answers the engine's
// notifications (message boxes with OK), keeps the methods it was sent, and
// can hang up the moment a given notification arrives, as a window that is
// killed would.
class RawClient {
 public:
  explicit RawClient(const std::string& socket) : m_channel(ConnectTo(socket)) {
    m_channel.SetDispatcher([this](const Message& call, Message& reply) {
      received.push_back(call.method());
      if (hangUpOn && hangUpOn(call)) {
        m_channel.Shutdown();
        return;
      }
      if (call.method() >= remote::SHOW_MESSAGE && call.method() <= remote::SHOW_MESSAGE_TITLED) {
        RemoteValues::AddNumber(*reply.mutable_values(), 1);
      }
    });
  }

  // The call's reply; an empty reply with error "no reply" when none came.
  Message Call(remote::Method method, const Values& args = Values()) {
    Message reply;
    if (!m_channel.Call(method, args, reply, std::chrono::milliseconds{60000})) reply.set_error("no reply");
    return reply;
  }
  Message Hello(int64_t mode) {
    Values args;
    RemoteValues::AddNumber(args, 1);
    RemoteValues::AddNumber(args, mode);
    return Call(remote::HELLO, args);
  }
  RemoteChannel& Channel() { return m_channel; }

  std::vector<uint32_t> received;
  std::function<bool(const Message&)> hangUpOn;

 private:
  RemoteChannel m_channel;
};

Values Text(const std::string& text) {
  Values values;
  RemoteValues::AddText(values, text);
  return values;
}

Values Number(int64_t number) {
  Values values;
  RemoteValues::AddNumber(values, number);
  return values;
}

int64_t FirstNumber(const Message& reply) {
  int64_t number = -1;
  RemoteValues::Number(reply.values(), 0, INT64_MIN, INT64_MAX, number);
  return number;
}

class EngineServiceTest : public test::DemoTreeFixture {
 protected:
  void TearDown() override {
    StopEngine();
    std::error_code ec;
    fs::remove_all(m_socketFolder, ec);
    DemoTreeFixture::TearDown();
  }

  // qrvupdate-engine --root ROOT --socket SOCKET --idle-timeout idle; true
  // once it listens. The socket's folder is one anybody may search, so that
  // the second user can reach it.
  bool StartEngine(std::chrono::milliseconds idle = std::chrono::milliseconds{20000}) {
    fs::create_directories(m_socketFolder);
    chmod(m_socketFolder.c_str(), 0755);
    const std::string log = (m_root / "engine.log").string();
    std::vector<std::string> args{QRVUPDATE_ENGINE_PATH, "--root", Root(), "--socket", Socket(),
                                  "--idle-timeout", std::to_string(idle.count())};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = posix_spawn(&m_engine, QRVUPDATE_ENGINE_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    return WaitFor([this] { return fs::exists(Socket()) || EngineEnded(); }, kWait) && !EngineEnded();
  }
  bool EngineEnded() {
    if (m_engine <= 0) return true;
    if (waitpid(m_engine, &m_engineStatus, WNOHANG) != m_engine) return false;
    m_engine = 0;
    return true;
  }
  void StopEngine() {
    if (m_engine <= 0) return;
    kill(m_engine, SIGTERM);
    waitpid(m_engine, &m_engineStatus, 0);
    m_engine = 0;
  }
  // What the engine wrote: its output and its trace (where its reports go).
  std::string EngineLog() const {
    std::string log;
    for (const fs::path& file : {m_root / "engine.log", m_root / "var/log/qrvupdate/QrvUpdate.txt"}) {
      if (fs::exists(file)) log += test::ReadFile(file);
    }
    return log;
  }
  std::string Socket() const { return (m_socketFolder / "engine.socket").string(); }

  // qrvupdate --root ROOT --engine=service ARGS..., in English.
  test::ProcessResult Client(const std::vector<std::string>& args) const {
    std::vector<std::string> all{"--root", Root(), "--engine=service"};
    all.insert(all.end(), args.begin(), args.end());
    return test::RunProcess(QRVUPDATE_PATH, all, {{"LC_ALL", "C"}, {"QRVUPDATE_ENGINE_SOCKET", Socket()}});
  }

  static uint32_t Level(const std::string& product) { return CQUpdateMgrEnv().GetProductVersion(product); }
  static uint32_t State() { return CQUpdateMgrEnv().GetUpdateState(); }
  static void AutomaticDue() {
    const CQUpdateMgrEnv env;
    env.SetAutoUpdate(1);
    env.SetTerm(1);
    env.SetLastUpdate(20000101);
  }
  void ExpectUpdated(const std::string& product) const {
    SCOPED_TRACE(product);
    EXPECT_EQ(Level(product), 2u);
    EXPECT_TRUE(fs::exists(Installed(product))) << "nothing installed";
  }
  // Both products, the state and the download log as a finished run leaves them.
  void ExpectWholeRun() const {
    ExpectUpdated("QrvBase");
    ExpectUpdated("QrvWriter");
    EXPECT_EQ(State(), 0u);
  }

  fs::path m_socketFolder = fs::path("/tmp") / ("qrv-engine-test-" + std::to_string(getpid()));
  pid_t m_engine = 0;
  int m_engineStatus = 0;
};

TEST_F(EngineServiceTest, AutomaticAndInteractiveRunsThroughTheServiceEndAsInProcess) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  // An automatic run that is due updates everything and records the day.
  AutomaticDue();
  const test::ProcessResult automatic = Client({"--console", "--auto"});
  EXPECT_EQ(automatic.exitCode, 0) << automatic.out << automatic.err << EngineLog();
  ExpectWholeRun();
  EXPECT_NE(CQUpdateMgrEnv().GetLastUpdate(), 20000101u);
  // The engine's own trace holds the run.
  EXPECT_TRUE(Has(EngineLog(), "-DlgMgr-UpdateCopyFile")) << EngineLog();

  // The same engine serves the next window, which finds nothing pending.
  const test::ProcessResult again = Client({"--console", "--yes"});
  EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
  EXPECT_TRUE(Has(again.out, "Qrv") || again.out.empty() || Has(again.out, "update")) << again.out;
  EXPECT_FALSE(Has(again.out, "Downloading")) << again.out;
}

TEST_F(EngineServiceTest, TheDesktopAutomaticRunUpdatesThroughTheService) {
#ifndef QRV_TEST_HOOKS
  GTEST_SKIP() << "built without QRV_TEST_HOOKS: nobody could answer the run's boxes";
#else
  ASSERT_TRUE(StartEngine()) << EngineLog();
  AutomaticDue();
  // The window with no notification area goes on by itself; its boxes go
  // to standard error with their safe answers.
  const test::ProcessResult run = test::RunProcess(
      QRVUPDATE_PATH, {"--root", Root(), "--engine=service", "--auto"},
      {{"LC_ALL", "C"},
       {"QT_QPA_PLATFORM", "offscreen"},
       {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"},
       {"QRVUPDATE_TEST_BOXES_TO_STDERR", "1"},
       {"QRVUPDATE_ENGINE_SOCKET", Socket()}});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err << EngineLog();
  EXPECT_TRUE(Has(run.err, "Update finished.")) << run.err;
  ExpectWholeRun();
#endif
}

TEST_F(EngineServiceTest, ACallerWhoIsNoAdministratorIsRefusedAndNothingChanges) {
  QRV_SKIP_UNLESS_SERVER(test::SecondUser::Available(), "setpriv as root is needed to act as the second user");
  ASSERT_TRUE(StartEngine()) << EngineLog();
  // The second user needs its own root to start at all; the engine's is not theirs.
  const fs::path theirs = fs::path("/tmp") / ("qrv-engine-other-" + std::to_string(getpid()));
  fs::create_directories(theirs);
  chmod(theirs.c_str(), 0777);
  const test::ProcessResult refused = test::SecondUser::Run(
      {"/usr/bin/env", "LC_ALL=C", "QRVUPDATE_ENGINE_SOCKET=" + Socket(), QRVUPDATE_PATH, "--root", theirs.string(),
       "--engine=service", "--console", "--yes"});
  fs::remove_all(theirs);
  EXPECT_EQ(refused.exitCode, 1) << refused.out << refused.err;
  EXPECT_TRUE(Has(refused.out + refused.err, "administrator")) << refused.out << refused.err;
  EXPECT_EQ(Level("QrvBase"), 1u);
  EXPECT_EQ(Level("QrvWriter"), 1u);
  EXPECT_TRUE(Has(EngineLog(), "refused user 65534")) << EngineLog();
  // The engine goes on serving those who may: a whole interactive run.
  const test::ProcessResult run = Client({"--console", "--yes"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Has(run.out, "Downloading Qorvane Base (demo)...") && Has(run.out, "Update finished.")) << run.out;
  ExpectWholeRun();
}

TEST_F(EngineServiceTest, AUserOfTheSudoGroupUpdatesRootsProductsWithoutBeingRoot) {
  QRV_SKIP_UNLESS_SERVER(test::SecondUser::Available(), "setpriv as root is needed to act as another user");
  const group* sudo = getgrnam("sudo");
  QRV_SKIP_UNLESS_SERVER(sudo != nullptr, "the machine has no sudo group");
  ASSERT_TRUE(StartEngine()) << EngineLog();
  // The products' folders are root's; the window's user could not write them.
  struct stat before {};
  ASSERT_EQ(stat(Installed("QrvBase").c_str(), &before), 0);
  ASSERT_EQ(before.st_uid, 0u);
  const fs::path theirs = fs::path("/tmp") / ("qrv-engine-sudoer-" + std::to_string(getpid()));
  fs::create_directories(theirs);
  chmod(theirs.c_str(), 0777);
  // nobody, with sudo as a supplementary group: an administrator by the
  // group, not by being root.
  const test::ProcessResult run = test::RunProcess(
      "/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--groups=" + std::to_string(sudo->gr_gid), "--",
                           "/usr/bin/env", "LC_ALL=C", "QRVUPDATE_ENGINE_SOCKET=" + Socket(), QRVUPDATE_PATH, "--root",
                           theirs.string(), "--engine=service", "--console", "--yes"});
  fs::remove_all(theirs);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err << EngineLog();
  ExpectWholeRun();
  struct stat after {};
  ASSERT_EQ(stat((Installed("QrvBase")).c_str(), &after), 0);
  EXPECT_EQ(after.st_uid, 0u) << "the engine, not the window's user, wrote them";
}

TEST_F(EngineServiceTest, ASecondWindowIsHandedToTheRunUnderWay) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  RawClient automatic(Socket());
  ASSERT_EQ(FirstNumber(automatic.Hello(1)), 1);
  // A second start, as the program makes it, ends at once and quietly ...
  const test::ProcessResult second = Client({"--console", "--auto"});
  EXPECT_EQ(second.exitCode, 0) << second.out << second.err;
  // ... and the automatic run is asked to show where it is.
  EXPECT_TRUE(WaitFor(
      [&] {
        automatic.Channel().ServePending();
        return std::find(automatic.received.begin(), automatic.received.end(), remote::NOTIFY_STATE) !=
               automatic.received.end();
      },
      kWait));
  // An interactive run would come to the front instead.
  EXPECT_EQ(FirstNumber(automatic.Call(remote::END_SESSION)), 1);
}

TEST_F(EngineServiceTest, WhatAClientSendsIsCheckedBeforeAnythingIsUsed) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  CQUpdateMgrEnv().SetDownloadPath(Root() + "/var/cache/qrvupdate/");
  const std::string pathBefore = CQUpdateMgrEnv().GetDownloadPath(0);
  const uint32_t stateBefore = State();
  {
    // Nothing before the greeting.
    RawClient early(Socket());
    EXPECT_FALSE(early.Call(remote::STORED_UPDATE_STATE).error().empty());
  }
  RawClient client(Socket());
  ASSERT_EQ(FirstNumber(client.Hello(0)), 1);
  // Product keys are plain names: nothing that climbs out of the updater's
  // registry key or the download folder.
  for (const std::string& key : {std::string("..\\..\\Software\\Other"), std::string("../../etc/passwd"), std::string(""),
                                 std::string(300, 'k'), std::string("a\nb")}) {
    SCOPED_TRACE(key);
    EXPECT_FALSE(client.Call(remote::PRODUCT_NAME, Text(key)).error().empty());
    EXPECT_FALSE(client.Call(remote::UPDATE_DEPENDENCY, Text(key)).error().empty());
  }
  // Only products the run found may be downloaded (none were looked for).
  Values products;
  RemoteValues::AddTexts(products, {"QrvBase"});
  EXPECT_FALSE(client.Call(remote::START_DOWNLOAD, products).error().empty());
  // Folders are absolute; states, modes and terms known ones.
  EXPECT_FALSE(client.Call(remote::SET_DOWNLOAD_PATH, Text("relative/folder")).error().empty());
  EXPECT_FALSE(client.Call(remote::TEST_DOWNLOAD_FOLDER, Text("")).error().empty());
  EXPECT_FALSE(client.Call(remote::SET_UPDATE_STATE, Number(99)).error().empty());
  EXPECT_FALSE(client.Call(remote::SET_TERM, Number(0)).error().empty());
  EXPECT_FALSE(client.Call(remote::SET_AUTO_MODE, Number(7)).error().empty());
  // Arguments of the wrong kind are no arguments.
  EXPECT_FALSE(client.Call(remote::SET_UPDATE_STATE, Text("12")).error().empty());
  // A call the engine does not serve (one it makes itself).
  EXPECT_FALSE(client.Call(remote::SHOW_MESSAGE, Number(160)).error().empty());
  EXPECT_EQ(CQUpdateMgrEnv().GetDownloadPath(0), pathBefore);
  EXPECT_EQ(State(), stateBefore);
  // The session goes on after refusals.
  EXPECT_EQ(FirstNumber(client.Call(remote::STORED_UPDATE_STATE)), stateBefore);
  EXPECT_EQ(FirstNumber(client.Call(remote::END_SESSION)), 1);

  // Bytes that are no message end that connection only.
  {
    const int fd = ConnectTo(Socket());
    ASSERT_GE(fd, 0);
    const std::string garbage = "\xff\xff\xff\xff\x0f not a message";
    EXPECT_GT(send(fd, garbage.data(), garbage.size(), MSG_NOSIGNAL), 0);
    char byte = 0;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0) << "the engine hangs up";
    close(fd);
  }
  RawClient after(Socket());
  EXPECT_EQ(FirstNumber(after.Hello(0)), 1);
}

TEST_F(EngineServiceTest, AWindowKilledMidDownloadKeepsTheStateAndTheNextAutomaticRunUpdates) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  {
    RawClient client(Socket());
    ASSERT_EQ(FirstNumber(client.Hello(0)), 1);
    ASSERT_EQ(FirstNumber(client.Call(remote::QUERY_UPDATES)), 1);
    client.hangUpOn = [](const Message& call) { return call.method() == remote::SET_PROGRESS_TEXT; };
    Values products;
    RemoteValues::AddTexts(products, {"QrvBase", "QrvWriter"});
    EXPECT_EQ(client.Call(remote::START_DOWNLOAD, products).error(), "no reply");
  }
  // The engine noticed, stopped the download and kept the state it had.
  EXPECT_TRUE(WaitFor([&] { return Has(EngineLog(), "went away before its run ended"); }, kWait)) << EngineLog();
  EXPECT_EQ(State(), 11u);
  EXPECT_EQ(Level("QrvBase"), 1u);
  EXPECT_EQ(Level("QrvWriter"), 1u);

  AutomaticDue();
  const test::ProcessResult resumed = Client({"--console", "--auto"});
  EXPECT_EQ(resumed.exitCode, 0) << resumed.out << resumed.err << EngineLog();
  ExpectWholeRun();
}

TEST_F(EngineServiceTest, AWindowKilledMidCopyLeavesTheCopyFinishedAndRecorded) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  {
    RawClient client(Socket());
    ASSERT_EQ(FirstNumber(client.Hello(0)), 1);
    ASSERT_EQ(FirstNumber(client.Call(remote::QUERY_UPDATES)), 1);
    Values products;
    RemoteValues::AddTexts(products, {"QrvBase", "QrvWriter"});
    ASSERT_EQ(FirstNumber(client.Call(remote::START_DOWNLOAD, products)), 1);
    client.hangUpOn = [](const Message& call) { return call.method() == remote::ON_FILE_COPY_BEGIN; };
    EXPECT_EQ(client.Call(remote::COPY_FILES).error(), "no reply");
  }
  // The copy ran to its end: files in place, levels recorded, the state
  // says the finalize is still to come.
  EXPECT_TRUE(WaitFor([&] { return Has(EngineLog(), "went away before its run ended"); }, kWait)) << EngineLog();
  EXPECT_EQ(State(), 22u);
  EXPECT_EQ(Level("QrvBase"), 2u);
  EXPECT_EQ(Level("QrvWriter"), 2u);
  // The next automatic start finishes it.
  AutomaticDue();
  const test::ProcessResult resumed = Client({"--console", "--auto"});
  EXPECT_EQ(resumed.exitCode, 0) << resumed.out << resumed.err << EngineLog();
  ExpectWholeRun();
}

// This process as the window's side, with the windows' own classes: the
// default window behaviour over a remote engine.
class RemoteWindowTest : public EngineServiceTest {
 protected:
  void SetUp() override {
    EngineServiceTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(StartEngine()) << EngineLog();
    platform::MessageService::Install(m_messages);
    m_process = std::make_unique<CQUpdateBaseProcess>();
    remote::RemoteUpdateEngine::Outcome outcome{};
    std::string error;
    std::unique_ptr<remote::RemoteUpdateEngine> engine =
        remote::RemoteUpdateEngine::Connect(Socket(), CQUpdateBaseProcess::kModeInteractive, outcome, error);
    ASSERT_EQ(outcome, remote::RemoteUpdateEngine::Outcome::kConnected) << error;
    m_process->SetEngine(std::move(engine));
    auto window = std::make_unique<test::E2eWindow>();
    m_window = window.get();
    m_process->SetDlgMgr(std::move(window));
  }
  void TearDown() override {
    m_process.reset();
    platform::MessageService::Install(nullptr);
    EngineServiceTest::TearDown();
  }

  std::shared_ptr<test::RecordingMessages> m_messages = std::make_shared<test::RecordingMessages>();
  std::unique_ptr<CQUpdateBaseProcess> m_process;
  test::E2eWindow* m_window = nullptr;
};

TEST_F(RemoteWindowTest, CancelReachesARemoteDownloadAndNothingIsInstalled) {
  ASSERT_TRUE(m_window->UpdatePrepare(0));
  ASSERT_EQ(m_window->Products().size(), 2u);
  // The Cancel button, pressed at the first file: a call into the engine
  // while the engine's download call is still under way.
  bool cancelled = false;
  m_window->onText = [&](platform::ProgressKind kind, std::string_view) {
    if (kind != platform::ProgressKind::kDownloading || cancelled) return;
    cancelled = true;
    m_window->OnFileTransferCancel();
  };
  std::vector<std::string> products{"QrvBase", "QrvWriter"};
  EXPECT_EQ(m_window->UpdateDownload(products), 2);
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(Level("QrvBase"), 1u);
  EXPECT_EQ(Level("QrvWriter"), 1u);
  EXPECT_FALSE(fs::exists(Installed("QrvBase") / "bin"));
  // The window's notifications crossed over as they happened, in order.
  EXPECT_TRUE(std::any_of(m_window->events.begin(), m_window->events.end(),
                          [](const std::string& event) { return event.rfind("TransferBegin@11", 0) == 0; }));
}

TEST_F(RemoteWindowTest, TheEnginesQuestionsAreAskedByTheWindow) {
  // The writer's product file is gone from the server: the engine names the
  // product it leaves out, in a box the window shows.
  fs::remove(Served() / "QrvWriter.ini");
  ASSERT_TRUE(m_window->UpdatePrepare(0));
  std::vector<std::string> products{"QrvBase", "QrvWriter"};
  m_window->UpdateDownload(products);
  ASSERT_NE(std::find(m_messages->shown.begin(), m_messages->shown.end(), 180u), m_messages->shown.end());
  const size_t at = static_cast<size_t>(
      std::find(m_messages->shown.begin(), m_messages->shown.end(), 180u) - m_messages->shown.begin());
  EXPECT_EQ(m_messages->arguments[at], "Qorvane Writer (demo)");
  EXPECT_EQ(m_process->Engine().DroppedProducts(), std::vector<std::string>{"QrvWriter"});
}

TEST_F(EngineServiceTest, TheEngineEndsWhenIdleButNotDuringASession) {
  ASSERT_TRUE(StartEngine(std::chrono::milliseconds{400})) << EngineLog();
  {
    RawClient client(Socket());
    ASSERT_EQ(FirstNumber(client.Hello(0)), 1);
    // Longer than the idle time, with a window connected.
    const auto until = Clock::now() + std::chrono::milliseconds{1200};
    while (Clock::now() < until) ASSERT_EQ(client.Call(remote::STORED_UPDATE_STATE).error(), "");
    EXPECT_FALSE(EngineEnded());
    EXPECT_EQ(FirstNumber(client.Call(remote::END_SESSION)), 1);
  }
  EXPECT_TRUE(WaitFor([&] { return EngineEnded(); }, kWait));
  EXPECT_TRUE(WIFEXITED(m_engineStatus) && WEXITSTATUS(m_engineStatus) == 0) << m_engineStatus;
  EXPECT_FALSE(fs::exists(Socket())) << "the socket it made goes with it";
}

}  // namespace
}  // namespace qrv
