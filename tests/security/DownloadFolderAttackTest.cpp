// The attacker controls the download folder or what stands in it: another
// local user who got there first, or a link under a name the run uses.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/PrivateFolder.h"
#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/DiagnosticsRecorder.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/SecondUser.h"
#include "tests/support/SkipUnlessServer.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::ModeOf;
using test::OwnerOf;
using test::ReadFile;
using test::WriteFile;

constexpr uid_t kNobody = test::SecondUser::kUid;
constexpr uint32_t kInvalidDownloadPath = 140;
constexpr uint32_t kProductNotUpdated = 180;

class DownloadFolderAttackTest : public test::E2eRunFixture {
 protected:
  void SetUp() override {
    E2eRunFixture::SetUp();
    ASSERT_EQ(UseTransport(test::Transport::kHttp), "");
    ServeTwoUpdates();
    // What the attacker would like us to change: a private file elsewhere.
    m_victim = m_root / "victim" / "shadow";
    WriteFile(m_victim, "secret");
    fs::permissions(m_victim, fs::perms::owner_read | fs::perms::owner_write);
  }

  // A second user needs to reach the sandbox to attack it.
  void OpenSandboxToOthers() {
    QRV_SKIP_UNLESS_SERVER(test::SecondUser::Available(), "a second user needs root and setpriv");
    test::SecondUser::LetReach(m_root / "dl");
  }

  // Prepare must refuse: message 140, nothing found, nothing fetched.
  void ExpectPrepareRefused() {
    EXPECT_EQ(m_process->QueryUpdates(), 0);
    EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{kInvalidDownloadPath});
    EXPECT_TRUE(m_diagnostics.Has("the download folder cannot be used")) << m_diagnostics.Text();
  }

  void ExpectVictimUntouched() {
    EXPECT_EQ(ReadFile(m_victim), "secret");
    EXPECT_EQ(ModeOf(m_victim), 0600u);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(m_victim.parent_path())) ++entries;
    EXPECT_EQ(entries, 1u) << "nothing was written beside the victim";
  }

  fs::path m_victim;
  test::DiagnosticsRecorder m_diagnostics;
};

TEST_F(DownloadFolderAttackTest, ALinkInPlaceOfTheFolderIsRefusedAndNotFollowed) {
  fs::remove_all(Download());
  fs::create_symlink(m_victim.parent_path(), Download());

  ExpectPrepareRefused();
  ExpectVictimUntouched();
  EXPECT_TRUE(fs::is_symlink(Download())) << "someone else's link is left as it is";
}

TEST_F(DownloadFolderAttackTest, FoldersOthersCouldWriteOrSwapAreRefusedNeverRepaired) {
  struct Case {
    const char* what;
    mode_t folderMode;
    mode_t parentMode;
  };
  for (const Case& c : {Case{"folder writable by all", 0777, 0755}, Case{"folder writable by its group", 0770, 0755},
                        Case{"parent writable by all, not sticky", 0700, 0777}}) {
    SCOPED_TRACE(c.what);
    m_messages->shown.clear();
    chmod(Download().c_str(), c.folderMode);
    chmod((m_root / "dl").c_str(), c.parentMode);

    ExpectPrepareRefused();
    EXPECT_EQ(ModeOf(Download()), c.folderMode) << "the mode is not changed behind the owner's back";
    EXPECT_EQ(ModeOf(m_root / "dl"), c.parentMode);
    EXPECT_FALSE(fs::exists(Download() / "qupdate_s.ini"));
  }
}

TEST_F(DownloadFolderAttackTest, AFolderASecondUserMadeFirstIsRefusedWithItsPlantedLink) {
  OpenSandboxToOthers();
  // A shared drop folder like /tmp: anyone may create, only owners remove.
  fs::permissions(m_root / "dl", fs::perms::all | fs::perms::sticky_bit);
  fs::remove_all(Download());
  const fs::path planted = Download() / "qupdate_s.ini";
  const test::ProcessResult made = test::SecondUser::Run({"/bin/mkdir", "-m", "0755", Download().string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  const test::ProcessResult linked = test::SecondUser::Run({"/bin/ln", "-s", m_victim.string(), planted.string()});
  ASSERT_EQ(linked.exitCode, 0) << linked.err;
  ASSERT_EQ(OwnerOf(Download()), kNobody);

  ExpectPrepareRefused();
  ExpectVictimUntouched();
  EXPECT_EQ(OwnerOf(Download()), kNobody) << "never taken over";
  EXPECT_TRUE(fs::is_symlink(planted));
}

TEST_F(DownloadFolderAttackTest, AWayASecondUserCouldChangeIsRefusedAndNothingIsMadeThere) {
  OpenSandboxToOthers();
  const fs::path shared = m_root / "shared";
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  test::SecondUser::LetReach(shared);
  const fs::path mine = m_root / "mine";
  fs::create_directories(mine);

  // DownloadPath is a link the second user owns in a shared folder: they
  // can point it elsewhere at any time.
  const test::ProcessResult linked = test::SecondUser::Run({"/bin/ln", "-s", mine.string(), (shared / "dl").string()});
  ASSERT_EQ(linked.exitCode, 0) << linked.err;
  m_main.SetString("DownloadPath", (shared / "dl").string());
  ExpectPrepareRefused();
  EXPECT_TRUE(m_diagnostics.Has("symbolic link of user 65534")) << m_diagnostics.Text();
  EXPECT_FALSE(fs::exists(mine / "QRVDownload")) << "nothing is made below an untrusted way";

  // A folder the second user owns further up.
  m_messages->shown.clear();
  const test::ProcessResult made = test::SecondUser::Run({"/bin/mkdir", "-m", "0755", (shared / "theirs").string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  fs::create_directories(shared / "theirs" / "x");  // root may add below it; nobody could still rename x
  m_main.SetString("DownloadPath", (shared / "theirs" / "x").string());
  ExpectPrepareRefused();
  EXPECT_FALSE(fs::exists(shared / "theirs" / "x" / "QRVDownload"));

  // A way that climbs back with "..": the part that exists cannot be told
  // by cutting names off, so it is refused before anything is made.
  m_messages->shown.clear();
  m_main.SetString("DownloadPath", (m_root / "new" / ".." / "shared" / "dl" / "x").string());
  ExpectPrepareRefused();
  EXPECT_FALSE(fs::exists(m_root / "new"));
  EXPECT_FALSE(fs::exists(mine / "x"));

  // A grandparent anyone may write, not sticky.
  m_messages->shown.clear();
  fs::create_directories(m_root / "open" / "inner");
  fs::permissions(m_root / "open", fs::perms::all);
  m_main.SetString("DownloadPath", (m_root / "open" / "inner").string());
  ExpectPrepareRefused();
  EXPECT_FALSE(fs::exists(m_root / "open" / "inner" / "QRVDownload"));
}

TEST_F(DownloadFolderAttackTest, AStickySharedParentIsFineAndAMissingFolderIsMadePrivate) {
  fs::permissions(m_root / "dl", fs::perms::all | fs::perms::sticky_bit);
  fs::remove_all(Download());
  const mode_t oldMask = umask(0);
  const bool ran = RunAll({"Calc", "Writer"});
  umask(oldMask);
  ASSERT_TRUE(ran);
  EXPECT_EQ(ModeOf(Download()), 0700u);
  EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "writer.txt"), "writer 7");
}

TEST_F(DownloadFolderAttackTest, LinksUnderTheNamesOfBackupsAndFetchedFilesAreNeverFollowed) {
  // The names the run moves aside to, and the names it fetches to: a link
  // there once made a root run chmod its target to 0777.
  for (const char* name : {"qupdate_s.ini20110315", "quplog.ini20110315", "Writer.ini20110315", "qupdate_s.ini",
                           "Writer.ini", "quplog.ini", "writer.cab"}) {
    fs::create_symlink(m_victim, Download() / name);
  }
  chmod(m_victim.c_str(), 0400);

  ASSERT_TRUE(RunAll({"Calc", "Writer"}));
  EXPECT_EQ(ReadFile(m_victim), "secret");
  EXPECT_EQ(ModeOf(m_victim), 0400u);
  EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "writer.txt"), "writer 7");
}

TEST_F(DownloadFolderAttackTest, ARunWithNothingToDoLeavesALinkedBackupsTargetAlone) {
  fs::create_symlink(m_victim, Download() / "qupdate_s.ini20110315");
  WriteFile(Download() / "qupdate_s.ini", "[UpdateVersionInfo]\n");
  Serve("qupdate_s.ini", "[UpdateVersionInfo]\nWriter=5\n");

  EXPECT_EQ(m_process->QueryUpdates(), 0);
  EXPECT_EQ(ModeOf(m_victim), 0600u);
  EXPECT_EQ(ReadFile(m_victim), "secret");
  EXPECT_EQ(ReadFile(Download() / "qupdate_s.ini20110315"), "[UpdateVersionInfo]\n") << "the link was replaced";
}

TEST_F(DownloadFolderAttackTest, AFolderSwappedBeforeTheCopyIsRefusedAndNothingIsUnpacked) {
  ASSERT_TRUE(m_window->UpdatePrepare(0));
  std::vector<std::string> products{"Calc", "Writer"};
  ASSERT_EQ(m_window->UpdateDownload(products), 1);
  // The resumed copy finds a link where the folder was.
  const fs::path moved = m_root / "elsewhere";
  fs::rename(Download(), moved);
  fs::create_symlink(moved, Download());

  NewProcess(1);
  m_messages->shown.clear();
  EXPECT_EQ(m_window->UpdateCopyFile(), 0);
  EXPECT_EQ(State(), 23u);
  EXPECT_EQ(m_messages->shown.front(), kInvalidDownloadPath);
  EXPECT_NE(m_process->CopyFailureReason().find("symbolic link"), std::string::npos) << m_process->CopyFailureReason();
  EXPECT_FALSE(fs::exists(Install("Writer") / "bin" / "writer.txt"));
  EXPECT_EQ(Version("Writer"), 5u);
}

// A product whose product file the server does not give is left out; the
// others go on, but the run must not pass for a complete one.
TEST_F(DownloadFolderAttackTest, AProductLeftOutIsNamedAndTheScheduleTriesAgain) {
  fs::remove(m_root / "srv" / "Calc.ini");
  m_main.SetDword("LastUpdate", 20200101);
  NewProcess(1);

  ASSERT_TRUE(m_window->UpdatePrepare(0));
  std::vector<std::string> products{"Calc", "Writer"};
  ASSERT_EQ(m_window->UpdateDownload(products), 1);
  ASSERT_EQ(m_window->UpdateCopyFile(), 1);
  m_window->UpdateFinalize();
  m_window->UpdateFinish(0);

  EXPECT_EQ(m_process->DroppedProducts(), std::vector<std::string>{"Calc"});
  EXPECT_EQ(std::count(m_messages->shown.begin(), m_messages->shown.end(), kProductNotUpdated), 1);
  EXPECT_NE(std::find(m_window->texts.begin(), m_window->texts.end(), "Not updated : Calc"), m_window->texts.end());
  EXPECT_EQ(CQUpdateMgrEnv().GetLastUpdate(), 20200101u) << "not recorded: the next automatic run tries again";
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(Version("Calc"), 5u);
}

TEST(PrivateFolderTest, MakesFoldersBelowOneStepAtATimeAndStopsAtALink) {
  test::SandboxRoot root;
  const fs::path folder = root / "dl";
  std::string error;
  ASSERT_TRUE(platform::PrivateFolder::Ensure(folder.string(), error)) << error;
  EXPECT_TRUE(platform::PrivateFolder::MakeFoldersBelow(folder.string(), "a/b/file.cab", error)) << error;
  EXPECT_EQ(ModeOf(folder / "a" / "b"), 0700u);

  fs::create_directories(root / "outside");
  fs::create_symlink(root / "outside", folder / "x");
  EXPECT_FALSE(platform::PrivateFolder::MakeFoldersBelow(folder.string(), "x/y/file.cab", error));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(root / "outside" / "y"));

  WriteFile(folder / "f", "file");
  EXPECT_FALSE(platform::PrivateFolder::MakeFoldersBelow(folder.string(), "f/file.cab", error));
  EXPECT_NE(error.find("a file is in the way"), std::string::npos) << error;
}

}  // namespace
}  // namespace qrv
