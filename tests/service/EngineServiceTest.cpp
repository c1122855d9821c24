// The engine service for real: qrvupdate-engine started by the test in the
// sandbox root on a private socket, the windows' side either the real
// qrvupdate program (--engine=service) or this process speaking the
// protocol itself, as a hostile or dying client would.
#include "app/CQUpdateBaseProcess.h"
#include "app/remote/RemoteUpdateEngine.h"
#include "apply/LogOnEntry.h"
#include "platform/profile/ProfileFile.h"
#include "platform/shell/ShellFolders.h"
#include "platform/shell/ShortcutFile.h"
#include "tests/apply/RecordingLauncher.h"
#include "tests/e2e/E2eRunFixture.h"
#include "tests/service/EngineServiceFixture.h"
#include "tests/support/RecordingMessages.h"
#include "tests/support/SecondUser.h"
#include "tests/support/SkipUnlessServer.h"

namespace qrv::test::service {
namespace {

// A client that speaks the protocol itself and can hang up the moment a
// given call of the engine arrives, as a window that is killed would.
class RawClient : public Client {
 public:
  explicit RawClient(const std::string& socket) : Client(socket) {
    onCall = [this](const Message& call, Message&) {
      if (!hangUpOn || !hangUpOn(call)) return false;
      Channel().Shutdown();
      return true;
    };
  }
  Message Hello(int64_t mode) { return Call(remote::HELLO, service::Hello(mode)); }

  std::function<bool(const Message&)> hangUpOn;
};

class EngineServiceTest : public EngineServiceFixture {
 protected:
  // qrvupdate --root ROOT --engine=service ARGS..., in English.
  ProcessResult Client(const std::vector<std::string>& args) const {
    std::vector<std::string> all{"--root", Root(), "--engine=service"};
    all.insert(all.end(), args.begin(), args.end());
    return RunProcess(QRVUPDATE_PATH, all, {{"LC_ALL", "C"}, {"QRVUPDATE_ENGINE_SOCKET", Socket()}});
  }
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
  // Both products and the state as a finished run leaves them.
  void ExpectWholeRun() const {
    ExpectUpdated("QrvBase");
    ExpectUpdated("QrvWriter");
    EXPECT_EQ(State(), 0u);
  }
};

TEST_F(EngineServiceTest, AutomaticAndInteractiveRunsThroughTheServiceEndAsInProcess) {
  // Started as systemd starts it, at the first window's connection.
  ASSERT_TRUE(StartEngine(std::chrono::milliseconds{10000}, true)) << EngineLog();
  // An automatic run that is due updates everything and records the day.
  AutomaticDue();
  const ProcessResult automatic = Client({"--console", "--auto"});
  EXPECT_EQ(automatic.exitCode, 0) << automatic.out << automatic.err << EngineLog();
  ExpectWholeRun();
  EXPECT_NE(CQUpdateMgrEnv().GetLastUpdate(), 20000101u);
  // The engine's own trace holds the run.
  EXPECT_TRUE(Has(EngineLog(), "-DlgMgr-UpdateCopyFile")) << EngineLog();

  // The same engine serves the next window, which finds nothing pending.
  const ProcessResult again = Client({"--console", "--yes"});
  EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
  EXPECT_TRUE(Has(again.out, "Qrv") || again.out.empty() || Has(again.out, "update")) << again.out;
  EXPECT_FALSE(Has(again.out, "Downloading")) << again.out;

  // Idle, it ends cleanly and leaves the socket to whoever made it.
  EXPECT_TRUE(WaitFor([&] { return EngineEnded(); }, kWait));
  EXPECT_TRUE(WIFEXITED(m_engineStatus) && WEXITSTATUS(m_engineStatus) == 0) << m_engineStatus << EngineLog();
  EXPECT_TRUE(fs::exists(Socket()));
}

TEST_F(EngineServiceTest, TheDesktopAutomaticRunUpdatesThroughTheService) {
#ifndef QRV_TEST_HOOKS
  GTEST_SKIP() << "built without QRV_TEST_HOOKS: nobody could answer the run's boxes";
#else
  ASSERT_TRUE(StartEngine()) << EngineLog();
  AutomaticDue();
  // The window with no notification area goes on by itself; its boxes go
  // to standard error with their safe answers.
  const ProcessResult run = test::RunProcess(
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
  const ProcessResult refused = test::SecondUser::Run(
      {"/usr/bin/env", "LC_ALL=C", "QRVUPDATE_ENGINE_SOCKET=" + Socket(), QRVUPDATE_PATH, "--root", theirs.string(),
       "--engine=service", "--console", "--yes"});
  fs::remove_all(theirs);
  EXPECT_EQ(refused.exitCode, 1) << refused.out << refused.err;
  EXPECT_TRUE(Has(refused.out + refused.err, "administrator")) << refused.out << refused.err;
  EXPECT_EQ(Level("QrvBase"), 1u);
  EXPECT_EQ(Level("QrvWriter"), 1u);
  EXPECT_TRUE(Has(EngineLog(), "refused user 65534")) << EngineLog();
  // The engine goes on serving those who may: a whole interactive run.
  const ProcessResult run = Client({"--console", "--yes"});
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
  const ProcessResult run = test::RunProcess(
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
  const ProcessResult second = Client({"--console", "--auto"});
  EXPECT_EQ(second.exitCode, 0) << second.out << second.err;
  // ... and the automatic run is asked to show where it is.
  EXPECT_TRUE(WaitFor(
      [&] {
        automatic.Channel().ServePending();
        return std::find(automatic.received.begin(), automatic.received.end(), remote::NOTIFY_STATE) !=
               automatic.received.end();
      },
      kWait));
  // A run in its own process (root's, sudo qrvupdate) on the same root is
  // kept off by the run lock the session holds.
  const ProcessResult local = RunProcess(QRVUPDATE_PATH, {"--root", Root(), "--engine=local", "--console", "--yes"},
                                         {{"LC_ALL", "C"}});
  EXPECT_EQ(local.exitCode, 1) << local.out << local.err;
  EXPECT_TRUE(Has(local.out + local.err, "run.lock")) << local.out << local.err;
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
  const ProcessResult resumed = Client({"--console", "--auto"});
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
  const ProcessResult resumed = Client({"--console", "--auto"});
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

TEST_F(RemoteWindowTest, TheLogOnEntryTheEngineWritesStartsTheWindowsProgram) {
  // "Use Auto Update" in the settings: root's engine writes the entry, for
  // qrvupdate, not for itself.
  std::string error;
  ASSERT_TRUE(m_process->Engine().SetLogOnEntry(true, error)) << error;
  const std::string command = fs::weakly_canonical(QRVUPDATE_PATH).string() + " --auto";
  EXPECT_EQ(LogOnEntry::RegisteredCommand(), command);
  EXPECT_EQ(test::ReadFile(LogOnEntry::DesktopFilePath()), LogOnEntry::DesktopFileText(command));
  ASSERT_TRUE(m_process->Engine().SetLogOnEntry(false, error)) << error;
  EXPECT_FALSE(fs::exists(LogOnEntry::DesktopFilePath()));
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

TEST_F(RemoteWindowTest, AnUpdatesProgramStartAndDesktopShortcutsHappenInTheWindowsSession) {
  // The writer's update asks to start its program afterwards, to put a
  // shortcut on the desktop and to take an old one away.
  const std::string file = (Served() / "QrvWriter.ini").string();
  // Edited by hand, the tree is an unsigned one, as old servers' are.
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(Served())) {
    if (entry.path().extension() == ".p7s") fs::remove(entry.path());
  }
  for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
           {"EXECCOUNT", "0"}, {"EXEC0FILEPATH", "Bin\\qrvwriter"}, {"SHORTCUTCOUNT", "1"}, {"SHORTCUT0DIR", "1"},
           {"SHORTCUT0FILEPATH", "Bin\\qrvwriter"}, {"SHORTCUT0NAME", "Qorvane Writer"}, {"SHORTCUT0DESC", "Write"},
           {"DELSHORTCUTCOUNT", "1"}, {"DELSHORTCUT0DIR", "1"}, {"DELSHORTCUT0NAME", "Old Writer"}}) {
    ASSERT_TRUE(platform::ProfileFile::WriteString(file, "QrvWriter", key, value));
  }
  // This user's desktop, below the sandbox root; the engine has none.
  const fs::path desktop = platform::ShellFolders::DesktopFolder();
  ASSERT_FALSE(desktop.empty());
  fs::create_directories(desktop);
  ASSERT_TRUE(platform::ShortcutFile::Write(desktop.string(), "Old Writer", "/opt/old", ""));
  const auto launcher = std::make_shared<test::RecordingLauncher>();
  const std::shared_ptr<platform::Launcher> previous = platform::Launcher::Install(launcher);
  ASSERT_TRUE(m_window->UpdatePrepare(0));
  std::vector<std::string> products{"QrvBase", "QrvWriter"};
  ASSERT_EQ(m_window->UpdateDownload(products), 1);
  ASSERT_EQ(m_window->UpdateCopyFile(), 1);
  m_window->UpdateFinalize();
  platform::Launcher::Install(previous);
  // Opened here, by this process's launcher (the window's user), not by
  // the root engine.
  const std::string program = (Installed("QrvWriter") / "Bin" / "qrvwriter").string();
  ASSERT_EQ(launcher->opened.size(), 1u);
  EXPECT_EQ(launcher->opened[0].first, program);
  EXPECT_EQ(launcher->opened[0].second, (Installed("QrvWriter") / "Bin").string());
  // The shortcuts were made and removed on this user's desktop.
  const fs::path made = platform::ShortcutFile::PathFor(desktop.string(), "Qorvane Writer");
  ASSERT_TRUE(fs::exists(made)) << EngineLog();
  EXPECT_TRUE(Has(test::ReadFile(made), program));
  EXPECT_FALSE(fs::exists(platform::ShortcutFile::PathFor(desktop.string(), "Old Writer")));
}

TEST_F(EngineServiceTest, AskedToStopDuringACopyTheEngineLetsTheCopyEndFirst) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  RawClient client(Socket());
  ASSERT_EQ(FirstNumber(client.Hello(0)), 1);
  ASSERT_EQ(FirstNumber(client.Call(remote::QUERY_UPDATES)), 1);
  Values products;
  RemoteValues::AddTexts(products, {"QrvBase", "QrvWriter"});
  ASSERT_EQ(FirstNumber(client.Call(remote::START_DOWNLOAD, products)), 1);
  // systemctl stop (or a shutdown) as the copy begins.
  client.hangUpOn = [this](const Message& call) {
    if (call.method() == remote::ON_FILE_COPY_BEGIN) kill(m_engine, SIGTERM);
    return false;
  };
  EXPECT_EQ(FirstNumber(client.Call(remote::COPY_FILES)), 1);
  EXPECT_TRUE(WaitFor([&] { return EngineEnded(); }, kWait)) << EngineLog();
  EXPECT_TRUE(WIFEXITED(m_engineStatus) && WEXITSTATUS(m_engineStatus) == 0) << m_engineStatus;
  EXPECT_EQ(State(), 22u);
  EXPECT_EQ(Level("QrvBase"), 2u);
  EXPECT_EQ(Level("QrvWriter"), 2u);
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
