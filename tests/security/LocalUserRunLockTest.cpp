// Two runs on one root at once would share the download folder and replace
// the same files: the second is refused before it touches anything; the lock
// dies with its holder, however that ends.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/RunLock.h"
#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"

extern char** environ;

namespace qrv {
namespace {

namespace fs = std::filesystem;
using platform::RunLock;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

using test::ModeOf;

// Starts program with args, its output into the file out; the pid, or -1.
pid_t Start(const std::string& program, const std::vector<std::string>& args, const fs::path& out) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Waits until the lock file names pid; false after 20 s.
bool WaitForHolder(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (fs::exists(RunLock::Path()) && test::ReadFile(RunLock::Path()) == std::to_string(pid) + "\n") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Everything below folder as "path type size mode mtime content-hash", so
// any change at all shows.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
  std::map<std::string, std::string> entries;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
    struct stat st {};
    lstat(it->path().c_str(), &st);
    std::string line = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                       std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    if (S_ISREG(st.st_mode)) line += " " + std::to_string(std::hash<std::string>{}(test::ReadFile(it->path())));
    entries[fs::relative(it->path(), folder).string()] = line;
  }
  return entries;
}

TEST(RunLockTest, OneHolderAtATimeAndReleasedWithItsOwner) {
  test::SandboxRoot root;
  const mode_t old = umask(0);
  auto first = std::make_unique<RunLock>();
  const RunLock::Outcome taken = first->Take();
  umask(old);
  ASSERT_EQ(taken, RunLock::Outcome::kTaken) << first->Error();
  EXPECT_EQ(RunLock::Path(), (root / "var/lib/qrvupdate/run.lock").string());
  EXPECT_EQ(ModeOf(root / "var/lib/qrvupdate"), 0700u) << "private whatever the umask";
  EXPECT_EQ(ModeOf(RunLock::Path()), 0600u);
  EXPECT_EQ(first->Take(), RunLock::Outcome::kTaken) << "taking a held lock again changes nothing";

  // A second open of the file is a second holder as far as flock goes, as
  // another process would be.
  RunLock second;
  EXPECT_EQ(second.Take(), RunLock::Outcome::kBusy);
  EXPECT_EQ(second.Holder(), getpid());
  EXPECT_EQ(second.Error(), "process " + std::to_string(getpid()) + " holds the run lock " + RunLock::Path());

  // Programs a run starts (xdg-open, the restart) must not keep it.
  const pid_t child = Start("/bin/sleep", {"30"}, root / "sleep.out");
  ASSERT_GT(child, 0);
  // Until its exec the child shares our descriptors (posix_spawn under the
  // sanitizers may return before it); the promise is about the program.
  const fs::path exe = "/proc/" + std::to_string(child) + "/exe";
  std::error_code ec;
  for (int i = 0; i < 2000 && fs::read_symlink(exe, ec).filename() != "sleep"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  first.reset();
  EXPECT_EQ(second.Take(), RunLock::Outcome::kTaken) << second.Error();
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(fs::exists(RunLock::Path())) << "the file stays; only the lock goes";
}

TEST(RunLockTest, ALinkOrAFolderOthersMayWriteIsRefusedAndLeftAlone) {
  test::SandboxRoot root;
  const fs::path victim = root / "victim";
  test::WriteFile(victim, "keep me");
  fs::create_directories(root / "var/lib/qrvupdate");
  fs::permissions(root / "var/lib/qrvupdate", fs::perms::owner_all);
  fs::create_symlink(victim, RunLock::Path());
  RunLock lock;
  EXPECT_EQ(lock.Take(), RunLock::Outcome::kFailed);
  EXPECT_TRUE(Has(lock.Error(), "cannot take the run lock " + RunLock::Path() + ": a symbolic link")) << lock.Error();
  EXPECT_EQ(test::ReadFile(victim), "keep me");
  EXPECT_TRUE(fs::is_symlink(RunLock::Path()));

  fs::remove(RunLock::Path());
  chmod((root / "var/lib/qrvupdate").c_str(), 0777);
  EXPECT_EQ(lock.Take(), RunLock::Outcome::kFailed);
  EXPECT_TRUE(Has(lock.Error(), "may be written by other users")) << lock.Error();
  EXPECT_FALSE(fs::exists(RunLock::Path()));
  EXPECT_EQ(ModeOf(root / "var/lib/qrvupdate"), 0777u) << "someone else's mistake is reported, not repaired";
}

class RunLockProgramTest : public test::E2eRunFixture {
 protected:
  void SetUp() override {
    E2eRunFixture::SetUp();
    ASSERT_EQ(UseTransport(test::Transport::kHttp), "");
    ServeTwoUpdates();
  }
  test::ProcessResult Run(const std::vector<std::string>& args) const {
    std::vector<std::string> all{"--root", m_root.Path().string()};
    all.insert(all.end(), args.begin(), args.end());
    return test::RunProcess(QRVUPDATE_PATH, all, {{"LC_ALL", "C"}});
  }
};

TEST_F(RunLockProgramTest, ASecondRunIsRefusedBeforeItTouchesAnythingAndAKilledHolderFreesTheLock) {
  // The first run waits on a server that stalls its first answer, then is
  // held still, so nothing on disk moves while the second one tries.
  m_http->SetFault("/svc/AUpdate70.jsp", test::HttpTestServer::Fault::kStall);
  const pid_t holder =
      Start(QRVUPDATE_PATH, {"--root", m_root.Path().string(), "--console", "--yes"}, m_root / "holder.out");
  ASSERT_GT(holder, 0);
  const bool holding = WaitForHolder(holder);
  kill(holder, SIGSTOP);
  ASSERT_TRUE(holding) << test::ReadFile(m_root / "holder.out");
  const auto before = Snapshot(m_root.Path());

  const std::string refusal =
      "Qorvane Update: Another update is already running (process " + std::to_string(holder) +
      " holds the run lock " + RunLock::Path() + "). Try again when it has finished.";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--console", "--yes"}, std::vector<std::string>{"--console", "--auto"}}) {
    SCOPED_TRACE(args.back());
    const test::ProcessResult second = Run(args);
    EXPECT_EQ(second.exitCode, 1) << second.out << second.err;
    EXPECT_TRUE(Has(second.out, refusal)) << second.out;
    EXPECT_FALSE(Has(second.out, "Wait...")) << "refused before any phase";
  }
  EXPECT_EQ(Snapshot(m_root.Path()), before) << "not a file made, changed or touched";

  // Killed outright (no handler runs): the kernel frees the lock.
  kill(holder, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  m_http->SetFault("/svc/AUpdate70.jsp", test::HttpTestServer::Fault::kNone);
  const test::ProcessResult after = Run({"--console", "--yes"});
  EXPECT_EQ(after.exitCode, 0) << after.out << after.err;
  EXPECT_EQ(Version("Writer"), 7u);
}

}  // namespace
}  // namespace qrv
