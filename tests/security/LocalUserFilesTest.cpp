// A second local user who can change the trust anchors file, or plant a link
// where a root run writes its trace, would decide whose signatures pass or
// have root append to any file. Such anchors are refused with every cabinet;
// the trace is never written through a link or into a folder others may
// write. The second user is real (nobody, through setpriv); runs go against
// a loopback HTTP server.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/DiagnosticsRecorder.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/SecondUser.h"
#include "tests/support/SkipUnlessServer.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::ModeOf;

#define REQUIRE_SECOND_USER() \
  QRV_SKIP_UNLESS_SERVER(test::SecondUser::Available(), "a second user needs root and setpriv")

class LocalUserFilesTest : public test::E2eRunFixture {
 protected:
  void SetUp() override {
    E2eRunFixture::SetUp();
    ASSERT_EQ(UseTransport(test::Transport::kHttp), "");
    ServeTwoUpdates();
    m_anchors = m_fixtures / "anchors.pem";
    test::WriteFile(m_victim, "secret\n");
    fs::permissions(m_victim, fs::perms::owner_read | fs::perms::owner_write);
  }

  // The download stops at the first cabinet: its signature cannot be
  // checked against anchors nobody can vouch for.
  void ExpectAnchorsRefused(const std::string& why) {
    m_diagnostics.Clear();
    NewProcess(0);
    ASSERT_TRUE(m_window->UpdatePrepare(0));
    std::vector<std::string> products{"Calc", "Writer"};
    EXPECT_EQ(m_window->UpdateDownload(products), 5);
    EXPECT_TRUE(m_diagnostics.HasTogether({"trust anchors file", "cannot be trusted", why})) << m_diagnostics.Text();
    EXPECT_EQ(Version("Writer"), 5u);
    EXPECT_FALSE(fs::exists(Install("Writer") / "bin" / "writer.txt"));
  }

  test::ProcessResult Run() const {
    return test::RunProcess(QRVUPDATE_PATH, {"--root", m_root.Path().string(), "--console", "--yes"},
                            {{"LC_ALL", "C"}});
  }
  fs::path TraceFolder() const { return m_root / "var/log/qrvupdate"; }
  // The second user, let reach its folder, links name to target.
  void PlantLink(const fs::path& target, const fs::path& name) {
    test::SecondUser::LetReach(name.parent_path());
    const test::ProcessResult planted = test::SecondUser::Run({"/bin/ln", "-s", target.string(), name.string()});
    ASSERT_EQ(planted.exitCode, 0) << planted.err;
    ASSERT_TRUE(fs::is_symlink(name));
  }
  // A folder anyone may create in and only owners remove from, as /tmp.
  fs::path Shared(const fs::path& folder) {
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::all | fs::perms::sticky_bit);
    return folder;
  }
  void ExpectVictimUntouched() const {
    EXPECT_EQ(test::ReadFile(m_victim), "secret\n");
    EXPECT_EQ(ModeOf(m_victim), 0600u);
  }

  fs::path m_anchors;
  fs::path m_victim = m_root / "victim" / "shadow";
  test::DiagnosticsRecorder m_diagnostics;
};

TEST_F(LocalUserFilesTest, AnchorsOthersCouldChangeAreRefusedNotTrusted) {
  chmod(m_anchors.c_str(), 0666);
  ExpectAnchorsRefused("may be written by other users");
  chmod(m_anchors.c_str(), 0644);

  // its folder open to all and not sticky: the file could be swapped
  const mode_t folderMode = ModeOf(m_fixtures);
  chmod(m_fixtures.c_str(), 0777);
  ExpectAnchorsRefused("may be written by other users");
  chmod(m_fixtures.c_str(), folderMode);

  NewProcess(0);
  ASSERT_TRUE(RunAll({"Calc", "Writer"})) << "the same anchors, kept safe, let the run through";
  EXPECT_EQ(Version("Writer"), 7u);
}

TEST_F(LocalUserFilesTest, AnchorsASecondUserOwnsOrLinksToAreRefused) {
  REQUIRE_SECOND_USER();
  ASSERT_EQ(chown(m_anchors.c_str(), test::SecondUser::kUid, test::SecondUser::kUid), 0);
  ExpectAnchorsRefused("belongs to user 65534");
  ASSERT_EQ(chown(m_anchors.c_str(), 0, 0), 0);

  // good anchors today, theirs tomorrow
  const fs::path link = Shared(m_root / "shared") / "anchors.pem";
  PlantLink(m_anchors, link);
  m_main.SetString("TrustAnchors", link.string());
  ExpectAnchorsRefused("symbolic link of user 65534");
}

TEST_F(LocalUserFilesTest, ALinkPlantedInTheSharedTemporaryFolderIsNeverWritten) {
  REQUIRE_SECOND_USER();
  Shared(m_root.Tmp());
  fs::remove(m_root.Tmp() / "QrvUpdate.txt");  // the attacker is there first
  PlantLink(m_victim, m_root.Tmp() / "QrvUpdate.txt");

  const test::ProcessResult run = Run();
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  ExpectVictimUntouched();
  EXPECT_TRUE(fs::is_symlink(m_root.Tmp() / "QrvUpdate.txt")) << "someone else's link is left as it is";
  // the trace is in the root's log folder, private to root
  const fs::path trace = TraceFolder() / "QrvUpdate.txt";
  ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(trace)));
  EXPECT_NE(test::ReadFile(trace).find("-DlgMgr-UpdateCopyFile---3\n"), std::string::npos) << "the run's own lines";
  EXPECT_EQ(ModeOf(TraceFolder()), 0700u);
  EXPECT_EQ(ModeOf(trace), 0600u);
}

TEST_F(LocalUserFilesTest, ALinkInALogFolderOthersMayWriteIsNotFollowedAndTheRunGoesOn) {
  REQUIRE_SECOND_USER();
  fs::remove_all(TraceFolder());
  fs::create_directories(TraceFolder());
  chmod(TraceFolder().c_str(), 0777);
  PlantLink(m_victim, TraceFolder() / "QrvUpdate.txt");

  const test::ProcessResult run = Run();
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(Version("Writer"), 7u) << "tracing is skipped; the update is not";
  ExpectVictimUntouched();
  EXPECT_TRUE(fs::is_symlink(TraceFolder() / "QrvUpdate.txt"));
  EXPECT_EQ(ModeOf(TraceFolder()), 0777u) << "never repaired behind the owner's back";
}

}  // namespace
}  // namespace qrv
