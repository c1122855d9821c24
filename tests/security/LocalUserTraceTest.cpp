// A second local user who plants a link where a root run writes its trace
// would have root append to any file they name. The trace is never written in
// a shared temporary folder, and never through a link or into a folder others
// may write to. The second user is a real one (nobody, through setpriv); the
// run is the qrvupdate program against a loopback server.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/SecondUser.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;

using test::ModeOf;

class LocalUserTraceTest : public test::E2eRunFixture {
 protected:
  void SetUp() override {
    E2eRunFixture::SetUp();
    if (!test::SecondUser::Available()) GTEST_SKIP() << "a second user needs root and setpriv (CI has both)";
    ASSERT_EQ(UseTransport(test::Transport::kHttp), "");
    ServeTwoUpdates();
    // What the attacker wants root to write to: a private file of root's.
    m_victim = m_root / "victim" / "shadow";
    test::WriteFile(m_victim, "secret\n");
    fs::permissions(m_victim, fs::perms::owner_read | fs::perms::owner_write);
  }

  test::ProcessResult Run() const {
    return test::RunProcess(QRVUPDATE_PATH, {"--root", m_root.Path().string(), "--console", "--yes"},
                            {{"LC_ALL", "C"}});
  }
  fs::path TraceFolder() const { return m_root / "var/log/qrvupdate"; }

  // The second user links name to the victim; the test fails if they cannot.
  void PlantLink(const fs::path& name) {
    // They may reach the folder, as anyone may reach /tmp.
    test::SecondUser::LetReach(name.parent_path());
    const test::ProcessResult planted = test::SecondUser::Run({"/bin/ln", "-s", m_victim.string(), name.string()});
    ASSERT_EQ(planted.exitCode, 0) << planted.err;
    ASSERT_TRUE(fs::is_symlink(name));
  }
  void ExpectVictimUntouched() const {
    EXPECT_EQ(test::ReadFile(m_victim), "secret\n");
    EXPECT_EQ(ModeOf(m_victim), 0600u);
  }

  fs::path m_victim;
};

TEST_F(LocalUserTraceTest, ALinkPlantedInTheSharedTemporaryFolderIsNeverWritten) {
  // A shared temporary folder like /tmp: anyone may create, only owners remove.
  fs::permissions(m_root.Tmp(), fs::perms::all | fs::perms::sticky_bit);
  // The attacker is there first: nothing of ours stands under the name yet.
  fs::remove(m_root.Tmp() / "QrvUpdate.txt");
  PlantLink(m_root.Tmp() / "QrvUpdate.txt");

  const test::ProcessResult run = Run();
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  ExpectVictimUntouched();
  EXPECT_TRUE(fs::is_symlink(m_root.Tmp() / "QrvUpdate.txt")) << "someone else's link is left as it is";

  // The trace is in the root's log folder, private to root.
  const fs::path trace = TraceFolder() / "QrvUpdate.txt";
  ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(trace)));
  EXPECT_NE(test::ReadFile(trace).find("-DlgMgr-UpdateCopyFile---3\n"), std::string::npos) << "the run's own lines";
  EXPECT_EQ(ModeOf(TraceFolder()), 0700u);
  EXPECT_EQ(ModeOf(trace), 0600u);
}

TEST_F(LocalUserTraceTest, ALinkInALogFolderOthersMayWriteIsNotFollowedAndTheRunGoesOn) {
  // A log folder an administrator left open to all: the second user gets in
  // first. Tracing is skipped; the update itself is not.
  fs::remove_all(TraceFolder());
  fs::create_directories(TraceFolder());
  chmod(TraceFolder().c_str(), 0777);
  PlantLink(TraceFolder() / "QrvUpdate.txt");

  const test::ProcessResult run = Run();
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(Version("Writer"), 7u);
  ExpectVictimUntouched();
  EXPECT_TRUE(fs::is_symlink(TraceFolder() / "QrvUpdate.txt"));
  EXPECT_EQ(ModeOf(TraceFolder()), 0777u) << "reported by not being used, never repaired behind the owner's back";
}

}  // namespace
}  // namespace qrv
