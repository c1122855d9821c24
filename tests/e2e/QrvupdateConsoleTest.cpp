#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/CQUpdateUtilTime.h"
#include "app/console/ConsoleMessageService.h"
#include "apply/ListedFilesDownload.h"
#include "apply/UpdateFiles.h"
#include "config/CQUpdateMgrEnv.h"
#include "platform/profile/ProfileFile.h"
#include "platform/registry/RegistryStore.h"
#include "res/CQUpdateStrings.h"
#include "tests/support/CabinetFixtures.h"
#include "tests/support/DemoTreeFixture.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"
#include "transfer/CQUpdateDownloadMgr.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The qrvupdate program for real against the demo tree.
class QrvupdateConsoleTest : public test::DemoTreeFixture {
 protected:
  // qrvupdate --root ROOT ARGS..., in English, with no terminal attached.
  test::ProcessResult Run(const std::vector<std::string>& args) const {
    std::vector<std::string> all{"--root", Root()};
    all.insert(all.end(), args.begin(), args.end());
    return test::RunProcess(QRVUPDATE_PATH, all, {{"LC_ALL", "C"}});
  }
  // Fresh reads of the store each time: the program wrote it meanwhile.
  static uint32_t Level(const std::string& product) { return CQUpdateMgrEnv().GetProductVersion(product); }
  static uint32_t State() { return CQUpdateMgrEnv().GetUpdateState(); }
  void ExpectUpdated(const std::string& product) const {
    SCOPED_TRACE(product);
    EXPECT_EQ(Level(product), 2u);
    const fs::path expected = m_out / "expected" / product;
    const std::vector<std::string> files = test::CabinetFixtures::Tree(expected);
    EXPECT_FALSE(files.empty());
    for (const std::string& file : files) {
      if (fs::is_directory(expected / file)) continue;
      EXPECT_EQ(ReadFile(Installed(product) / file), ReadFile(expected / file)) << file;
    }
  }

  // What the demo server was asked so far.
  std::string Requests() const { return fs::exists(m_root / "serve.log") ? ReadFile(m_root / "serve.log") : ""; }
  // Automatic updates on, every ten days, last checked on last.
  static void Automatic(uint32_t last) {
    const CQUpdateMgrEnv env;
    env.SetAutoUpdate(1);
    env.SetTerm(1);
    env.SetLastUpdate(last);
  }
  static std::string NetworkMessage() {
    return ConsoleMessageService::Flatten(CQUpdateStrings::Get(142, CQUpdateStrings::Language::kEnglish));
  }
};

TEST_F(QrvupdateConsoleTest, AYesRunUpdatesEverythingAndASecondRunFindsNothingPending) {
  ASSERT_EQ(Level("QrvBase"), 1u);
  const test::ProcessResult first = Run({"--console", "--yes"});
  EXPECT_EQ(first.exitCode, 0) << first.out << first.err;
  ExpectUpdated("QrvBase");
  ExpectUpdated("QrvWriter");
  EXPECT_EQ(State(), 0u) << "a completed run resets the state";
  EXPECT_EQ(CQUpdateMgrEnv().GetProductVersionBak("QrvWriter"), CQUpdateMgrEnv::kMissing) << "committed";
  for (const char* seen : {"Wait...", "Product Name", "[x] ", "Downloading : ", "Copying : ", "% ",
                           "Qorvane Update: Update finished."}) {
    EXPECT_TRUE(Has(first.out, seen)) << seen << "\n" << first.out;
  }
  EXPECT_FALSE(Has(first.out, "restart")) << "nothing was in use: " << first.out;

  const test::ProcessResult again = Run({"--console", "--yes"});
  EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
  EXPECT_TRUE(Has(again.out, "no update is pending")) << again.out;
  EXPECT_FALSE(Has(again.out, "Downloading : ")) << again.out;
}

TEST_F(QrvupdateConsoleTest, ChosenProductsBringWhatTheyDependOnAndNothingElse) {
  const test::ProcessResult unknown = Run({"--console", "--yes", "--product", "QrvNothing"});
  EXPECT_EQ(unknown.exitCode, 2) << unknown.out;
  EXPECT_TRUE(Has(unknown.out, "QrvNothing has no pending update")) << unknown.out;
  EXPECT_EQ(Level("QrvBase"), 1u) << "nothing downloaded or applied";

  const test::ProcessResult base = Run({"--console", "--yes", "--product", "QrvBase"});
  EXPECT_EQ(base.exitCode, 0) << base.out << base.err;
  EXPECT_EQ(Level("QrvBase"), 2u);
  EXPECT_EQ(Level("QrvWriter"), 1u) << "the base does not depend on the writer";

  // The writer alone brings the base it depends on.
  CQUpdateMgrEnv().SetProductVersion("QrvBase", 1, false);
  const test::ProcessResult writer = Run({"--console", "--yes", "--product", "QrvWriter"});
  EXPECT_EQ(writer.exitCode, 0) << writer.out << writer.err;
  EXPECT_FALSE(Has(writer.out, "[ ] ")) << "both rows checked: " << writer.out;
  ExpectUpdated("QrvBase");
  ExpectUpdated("QrvWriter");
}

TEST_F(QrvupdateConsoleTest, TheAutomaticRunFollowsTheScheduleAndAsksNothing) {
  const CQUpdateMgrEnv env;
  Automatic(CQUpdateUtilTime::TodayNumber());
  env.SetUpdateState(0);
  const test::ProcessResult notDue = Run({"--console", "--auto"});
  EXPECT_EQ(notDue.exitCode, 0) << notDue.out << notDue.err;
  EXPECT_TRUE(Has(notDue.out, "no update is due")) << notDue.out;
  EXPECT_EQ(Level("QrvBase"), 1u);

  env.SetAutoUpdate(0);
  env.SetUpdateState(12);
  const test::ProcessResult off = Run({"--console", "--auto"});
  EXPECT_EQ(off.exitCode, 0) << off.out;
  EXPECT_EQ(State(), 12u) << "switched off: not even a resume";

  env.SetUpdateState(0);
  Automatic(20000101);
  const test::ProcessResult due = Run({"--console", "--auto"});
  EXPECT_EQ(due.exitCode, 0) << due.out << due.err;
  ExpectUpdated("QrvBase");
  ExpectUpdated("QrvWriter");
  EXPECT_EQ(State(), 0u);
  EXPECT_EQ(CQUpdateMgrEnv().GetLastUpdate(), CQUpdateUtilTime::TodayNumber()) << "an automatic query records the date";
}

// qrvupdate --auto on a desktop without a notification area (offscreen, no
// session bus): nothing when not due, and when due the run goes on in its
// window without waiting for a click it could never get.
TEST_F(QrvupdateConsoleTest, TheDesktopAutomaticRunWithoutANotificationAreaUpdates) {
#ifndef QRV_TEST_HOOKS
  GTEST_SKIP() << "built without QRV_TEST_HOOKS: nobody could answer the run's boxes";
#else
  const std::map<std::string, std::string> desktop{{"LC_ALL", "C"},
                                                   {"QT_QPA_PLATFORM", "offscreen"},
                                                   {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"},
                                                   {"QRVUPDATE_TEST_BOXES_TO_STDERR", "1"}};
  const std::vector<std::string> args{"--root", Root(), "--auto"};
  const CQUpdateMgrEnv env;
  Automatic(CQUpdateUtilTime::TodayNumber());
  env.SetUpdateState(0);
  const test::ProcessResult notDue = test::RunProcess(QRVUPDATE_PATH, args, desktop);
  EXPECT_EQ(notDue.exitCode, 0) << notDue.out << notDue.err;
  EXPECT_EQ(Level("QrvBase"), 1u);

  Automatic(20000101);
  const test::ProcessResult due = test::RunProcess(QRVUPDATE_PATH, args, desktop);
  EXPECT_EQ(due.exitCode, 0) << due.out << due.err;
  EXPECT_TRUE(Has(due.err, "Update finished.")) << due.err;
  ExpectUpdated("QrvBase");
  ExpectUpdated("QrvWriter");
  EXPECT_EQ(State(), 0u);
#endif
}

TEST_F(QrvupdateConsoleTest, TheAutomaticRunResumesAnInterruptedRunWithoutAskingTheServer) {
  const CQUpdateMgrEnv env;
  Automatic(CQUpdateUtilTime::TodayNumber());  // not due by date: only the state makes it run
  const std::string before = Requests();

  // Copied, but the finalize never ended: it is finished, nothing fetched.
  env.SetUpdateState(31);
  const test::ProcessResult finalize = Run({"--console", "--auto"});
  EXPECT_EQ(finalize.exitCode, 0) << finalize.out << finalize.err;
  EXPECT_EQ(State(), 0u);
  EXPECT_EQ(Requests(), before) << "a resumed finalize asks the server nothing";
  EXPECT_EQ(Level("QrvBase"), 1u);

  // Downloaded (here by the transfer layer in this process) but not copied:
  // the copy runs from the files already there, without a new download.
  CQUpdateDownloadMgr manager;
  ASSERT_EQ(manager.Connect(), 1u);
  ASSERT_FALSE(manager.GetUpdateInfo().empty());
  std::vector<std::string> products{"QrvBase", "QrvWriter"};
  ASSERT_EQ(ListedFilesDownload(manager.Transport()).DownloadUpdateFiles(manager, products), DownloadResult::kDone);
  ASSERT_TRUE(platform::ProfileFile::WriteString(UpdateFiles::LogPath(), "DOWNLOAD", "STATUS", "SUCCESS"));
  env.SetUpdateState(12);
  const std::string downloaded = Requests();
  const test::ProcessResult copy = Run({"--console", "--auto"});
  EXPECT_EQ(copy.exitCode, 0) << copy.out << copy.err;
  EXPECT_EQ(Requests(), downloaded) << "no new download";
  ExpectUpdated("QrvBase");
  ExpectUpdated("QrvWriter");
  EXPECT_EQ(State(), 0u);
}

// Reads fd into text until it holds part or 20 s pass; false on timeout or end.
bool ReadUntil(int fd, std::string& text, const std::string& part) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!Has(text, part)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    char buffer[512];
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    text.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

TEST_F(QrvupdateConsoleTest, CtrlCWhileTheServerIsAskedEndsTheRunCleanlyAndChangesNothing) {
  const uint32_t stateBefore = State();
  // The server is held still, so the question to it is surely under way
  // when Ctrl-C comes; it goes on once the signal is in.
  ASSERT_EQ(kill(m_server->Pid(), SIGSTOP), 0);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<std::string> args{QRVUPDATE_PATH, "--root", Root(), "--console", "--yes"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, QRVUPDATE_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  ASSERT_EQ(spawned, 0);

  std::string text;
  const bool waiting = ReadUntil(out[0], text, "...");
  kill(pid, SIGINT);
  kill(m_server->Pid(), SIGCONT);
  ReadUntil(out[0], text, "\x01");  // the rest, to the end
  close(out[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(waiting) << text;
  ASSERT_TRUE(WIFEXITED(status)) << "Ctrl-C must not kill the program: " << text;
  EXPECT_EQ(WEXITSTATUS(status), 130) << text;
  EXPECT_FALSE(Has(text, "Downloading")) << text;
  EXPECT_EQ(Level("QrvBase"), 1u);
  EXPECT_EQ(State(), stateBefore) << "no phase was entered";
  EXPECT_FALSE(fs::exists(UpdateFiles::LogPath())) << "nothing downloaded";
}

TEST_F(QrvupdateConsoleTest, AnUnreachableServerFailsWithTheNetworkMessage) {
  m_server->Stop();
  const test::ProcessResult run = Run({"--console", "--yes"});
  EXPECT_NE(run.exitCode, 0) << run.out;
  EXPECT_TRUE(Has(run.out, "Qorvane Update: " + NetworkMessage())) << run.out;
  EXPECT_EQ(Level("QrvBase"), 1u);
}

TEST_F(QrvupdateConsoleTest, ADamagedSettingsStoreIsNamedAndLeftAsItIsNeverTakenForANetworkFailure) {
  // Garbage over the whole store file, as a bad disk or a careless copy leaves it.
  const fs::path store = platform::RegistryStore::FileFor(platform::kRootLocalMachine);
  std::string garbage(8192, '\0');
  uint32_t x = 2463534242u;
  for (char& c : garbage) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x);
  }
  test::WriteFile(store, garbage);
  const std::string before = Requests();
  for (const char* mode : {"--yes", "--auto"}) {
    SCOPED_TRACE(mode);
    const test::ProcessResult run = Run({"--console", mode});
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_TRUE(Has(run.out, "Qorvane Update: The settings store is damaged or unreadable; nothing was updated or "
                             "changed. registry store " + store.string() + " is damaged (")) << run.out;
    EXPECT_FALSE(Has(run.out, NetworkMessage())) << run.out;
    EXPECT_FALSE(Has(run.out, "no update")) << run.out;
    EXPECT_FALSE(Has(run.out, "Wait...")) << "stopped before the server was asked: " << run.out;
    EXPECT_EQ(ReadFile(store), garbage) << "left for the administrator as it was";
  }
  EXPECT_EQ(Requests(), before) << "the server was never asked";
}

// A missing product file or update information fails the run, interactive
// or automatic; it never passes for complete or for nothing pending.
TEST_F(QrvupdateConsoleTest, WhatTheServerDoesNotGiveIsNamedAndFailsTheRun) {
  // The writer's product file is gone: the base is still updated, the writer is not.
  fs::remove(Served() / "QrvWriter.ini");
  const test::ProcessResult run = Run({"--console", "--yes"});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  ExpectUpdated("QrvBase");
  EXPECT_EQ(Level("QrvWriter"), 1u);
  EXPECT_TRUE(Has(run.out, "Qorvane Update: These products were not updated: QrvWriter\n")) << run.out;
  EXPECT_EQ(State(), 0u) << "what was done is done; the next run offers the writer again";
  Automatic(20000101);
  const test::ProcessResult automatic = Run({"--console", "--auto"});
  EXPECT_EQ(automatic.exitCode, 1) << automatic.out << automatic.err;
  EXPECT_TRUE(Has(automatic.out, "These products were not updated: QrvWriter")) << automatic.out;
  EXPECT_EQ(Level("QrvWriter"), 1u);

  fs::remove(Served() / "qupdate_s.ini");
  for (const char* mode : {"--yes", "--auto"}) {
    SCOPED_TRACE(mode);
    Automatic(20000101);
    const test::ProcessResult noInfo = Run({"--console", mode});
    EXPECT_EQ(noInfo.exitCode, 1) << noInfo.out << noInfo.err;
    EXPECT_FALSE(Has(noInfo.out, "no update is pending")) << noInfo.out;
    EXPECT_TRUE(Has(noInfo.out, "qupdate_s.ini")) << "the reason is named: " << noInfo.out;
    EXPECT_EQ(Level("QrvWriter"), 1u);
  }
}

TEST_F(QrvupdateConsoleTest, AnEmptyOrMissingRootIsAUsageErrorNeverTheRealSystem) {
  const fs::path missing = m_root / "no" / "such" / "root";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--root", "", "--console", "--yes"}, std::vector<std::string>{"--root=", "--console"},
        std::vector<std::string>{"--root", missing.string(), "--console", "--yes"}}) {
    const test::ProcessResult run = test::RunProcess(QRVUPDATE_PATH, args, {{"LC_ALL", "C"}});
    EXPECT_EQ(run.exitCode, 2) << run.out << run.err;
    EXPECT_TRUE(Has(run.err, "--root") || Has(run.err, "does not exist")) << run.err;
  }
  const test::ProcessResult fromEnvironment =
      test::RunProcess(QRVUPDATE_PATH, {"--console", "--yes"}, {{"LC_ALL", "C"}, {"QRVUPDATE_ROOT", missing.string()}});
  EXPECT_EQ(fromEnvironment.exitCode, 2) << fromEnvironment.out << fromEnvironment.err;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--root", "", "reg", "query", "HKLM\\SOFTWARE"},
        std::vector<std::string>{"--root", missing.string(), "reg", "add", "HKLM\\SOFTWARE\\X", "V", "REG_SZ", "v"}}) {
    const test::ProcessResult ctl = test::RunProcess(QRVCTL_PATH, args);
    EXPECT_EQ(ctl.exitCode, 2) << ctl.out << ctl.err;
  }
  EXPECT_FALSE(fs::exists(m_root / "no")) << "a missing root is not made";
}

TEST_F(QrvupdateConsoleTest, UsageErrorsAndAMissingDisplayAreExplained) {
  EXPECT_EQ(test::RunProcess(QRVUPDATE_PATH, {"--version"}).out.rfind("qrvupdate ", 0), 0u);
  const std::string help = test::RunProcess(QRVUPDATE_PATH, {"--help"}).out;
  EXPECT_TRUE(Has(help, "Without --console the update window opens") && Has(help, "--console      run in the terminal") &&
              Has(help, "qrvupdate [--auto] [--root DIR]"))
      << help;
  // The window needs a display; without one it says what to do instead.
  const test::ProcessResult windows = test::RunProcess(
      QRVUPDATE_PATH, {"--root", Root()}, {{"LC_ALL", "C"}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}});
  EXPECT_EQ(windows.exitCode, 2);
  EXPECT_TRUE(Has(windows.err, "no display") && Has(windows.err, "qrvupdate --console")) << windows.err;
  // A display that is named but cannot be used gets the same advice, not Qt's.
  const test::ProcessResult gone = test::RunProcess(
      QRVUPDATE_PATH, {"--root", Root()}, {{"LC_ALL", "C"}, {"DISPLAY", ":97"}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", "xcb"}});
  EXPECT_EQ(gone.exitCode, 2) << gone.err;
  EXPECT_TRUE(Has(gone.err, "qrvupdate --console") && !Has(gone.err, "Reinstalling")) << gone.err;
  // --auto alone is the automatic run on the desktop: it needs a display as the window does.
  const test::ProcessResult automatic =
      test::RunProcess(QRVUPDATE_PATH, {"--root", Root(), "--auto"},
                       {{"LC_ALL", "C"}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}});
  EXPECT_EQ(automatic.exitCode, 2);
  EXPECT_TRUE(Has(automatic.err, "no display") && Has(automatic.err, "qrvupdate --console --auto") &&
              !Has(automatic.err, "--help"))
      << automatic.err;
  EXPECT_EQ(Run({"--auto", "--yes"}).exitCode, 2) << "--yes needs --console";
  EXPECT_EQ(Run({"--yes"}).exitCode, 2);
  const test::ProcessResult bad = Run({"--console", "--frobnicate"});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_TRUE(Has(bad.err, "--frobnicate")) << bad.err;
  EXPECT_EQ(Run({"--console", "--product"}).exitCode, 2);
  EXPECT_EQ(Level("QrvBase"), 1u);
}

// Crash and resume: an automatic run killed the moment a state code is on
// disk, then started again, must end as an uninterrupted run does.
class CrashAndResumeTest : public QrvupdateConsoleTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(CrashAndResumeTest, AKilledAutomaticRunResumesToTheSameEnd) {
#ifndef QRV_TEST_HOOKS
  GTEST_SKIP() << "built without QRV_TEST_HOOKS: the program cannot be stopped at a state";
#else
  const uint32_t state = GetParam();
  std::vector<std::string> args{"--root", Root(), "--console", "--auto"};
  const test::ProcessResult killed = test::RunProcess(
      QRVUPDATE_PATH, args, {{"LC_ALL", "C"}, {"QRVUPDATE_TEST_KILL_AT_STATE", std::to_string(state)}});
  ASSERT_EQ(killed.exitCode, -1) << "expected to be killed at state " << state << ":\n" << killed.out << killed.err;
  EXPECT_EQ(State(), state);

  const test::ProcessResult resumed = test::RunProcess(QRVUPDATE_PATH, args, {{"LC_ALL", "C"}});
  EXPECT_EQ(resumed.exitCode, 0) << resumed.out << resumed.err;
  const size_t cancel = resumed.out.find("Canceling update");
  EXPECT_TRUE(cancel == std::string::npos || resumed.out.find("Canceling update", cancel + 1) == std::string::npos)
      << "the rollback of an interrupted copy is told once:\n" << resumed.out;
  ExpectUpdated("QrvBase");
  ExpectUpdated("QrvWriter");
  EXPECT_EQ(State(), 0u);
  EXPECT_EQ(CQUpdateMgrEnv().GetProductVersionBak("QrvWriter"), CQUpdateMgrEnv::kMissing) << "committed";
  EXPECT_EQ(CQUpdateMgrEnv().GetLastUpdate(), CQUpdateUtilTime::TodayNumber());
#endif
}

INSTANTIATE_TEST_SUITE_P(States, CrashAndResumeTest, ::testing::Values(11u, 12u, 21u, 22u, 31u, 32u, 41u),
                         [](const ::testing::TestParamInfo<uint32_t>& param) {
                           return "State" + std::to_string(param.param);
                         });

// The download writes its log once, at its end: killed after a cabinet was
// fetched and checked but before that, a run leaves state 11 and no log of
// its own, and the next automatic run starts afresh to the same end.
TEST_F(QrvupdateConsoleTest, AnAutomaticRunKilledMidDownloadStartsAfreshToTheSameEnd) {
#ifndef QRV_TEST_HOOKS
  GTEST_SKIP() << "built without QRV_TEST_HOOKS: the program cannot be stopped in a download";
#else
  std::vector<std::string> args{"--root", Root(), "--console", "--auto"};
  const test::ProcessResult killed =
      test::RunProcess(QRVUPDATE_PATH, args, {{"LC_ALL", "C"}, {"QRVUPDATE_TEST_KILL_AFTER_FILES", "1"}});
  ASSERT_EQ(killed.exitCode, -1) << "expected to be killed after the first cabinet:\n" << killed.out << killed.err;
  EXPECT_EQ(State(), 11u);
  EXPECT_FALSE(fs::exists(UpdateFiles::LogPath())) << "nothing of the log before the download ends";

  const test::ProcessResult resumed = test::RunProcess(QRVUPDATE_PATH, args, {{"LC_ALL", "C"}});
  EXPECT_EQ(resumed.exitCode, 0) << resumed.out << resumed.err;
  ExpectUpdated("QrvBase");
  ExpectUpdated("QrvWriter");
  EXPECT_EQ(State(), 0u);
  EXPECT_EQ(CQUpdateMgrEnv().GetProductVersionBak("QrvBase"), CQUpdateMgrEnv::kMissing) << "committed";
#endif
}

}  // namespace
}  // namespace qrv
