#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/core/LastError.h"
#include "platform/share/NetworkFolder.h"
#include "tests/support/AccessWatch.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

namespace fs = std::filesystem;

// A table in which the sandbox lies on a local disk, whatever the machine's
// temporary folder is really on.
MountTable LocalDisk() { return MountTable::Parse("22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"); }

// The sandbox folder "nas" as a cifs mount of //nas/updates.
MountTable NasMountedAt(const fs::path& point) {
  return MountTable::Parse("22 1 8:1 / / rw - ext4 /dev/sda1 rw\n41 22 0:40 / " + point.string() +
                           " rw,relatime - cifs //nas/updates rw,vers=3.1.1\n");
}

// Names in a folder that are not the expected ones: left-over temporary files.
size_t EntriesIn(const fs::path& folder) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
  return count;
}

TEST(NetworkFolder, LocalLogonAnswersWithTheNetworkCodes) {
  test::SandboxRoot root;
  fs::create_directories(root / "updates");
  test::WriteFile(root / "file.txt", "x");
  fs::create_directory_symlink(root / "updates", root / "link");

  NetworkFolder folder((root / "updates").string(), "", "", 0, LocalDisk());
  EXPECT_EQ(folder.LogOn(), NetworkFolder::kNoError);
  EXPECT_EQ(folder.NetworkName(), "") << "a folder on a local disk has no network name";
  EXPECT_EQ(NetworkFolder((root / "updates").string(), "admin", "pw", 0, LocalDisk()).LogOn(), NetworkFolder::kNoError);
  EXPECT_EQ(NetworkFolder((root / "link").string(), "", "", 0, LocalDisk()).LogOn(), NetworkFolder::kNoError);

  NetworkFolder missing((root / "missing").string(), "", "");
  EXPECT_EQ(missing.LogOn(), NetworkFolder::kBadNetName);
  EXPECT_NE(LastError::Text().find((root / "missing").string()), std::string::npos) << LastError::Text();
  EXPECT_EQ(NetworkFolder((root / "file.txt").string(), "", "").LogOn(), NetworkFolder::kDirectory);
  EXPECT_EQ(NetworkFolder((root / "file.txt/below").string(), "", "").LogOn(), NetworkFolder::kDirectory);
  EXPECT_EQ(NetworkFolder("updates", "", "").LogOn(), NetworkFolder::kInvalidName);
  EXPECT_EQ(NetworkFolder("Z:\\updates", "", "").LogOn(), NetworkFolder::kInvalidName);
  EXPECT_NE(LastError::Text().find("drive letter"), std::string::npos) << LastError::Text();
}

TEST(NetworkFolder, FolderOnANetworkMountKeepsTheMountsCredentials) {
  test::SandboxRoot root;
  fs::create_directories(root / "nas/2024");
  fs::create_directory_symlink(root / "nas/2024", root / "shortcut");
  MountTable mounts = NasMountedAt(root / "nas");

  NetworkFolder withUser((root / "nas/2024").string(), "QRV\\admin", "pw", 0, mounts);
  EXPECT_EQ(withUser.LogOn(), NetworkFolder::kSessionCredentialConflict)
      << "the mount is reached with its own credentials; the setting's are not used";
  EXPECT_EQ(withUser.NetworkName(), "//nas/updates/2024");

  NetworkFolder noUser((root / "nas").string(), "", "", 0, mounts);
  EXPECT_EQ(noUser.LogOn(), NetworkFolder::kNoError);
  EXPECT_EQ(noUser.NetworkName(), "//nas/updates");

  NetworkFolder viaLink((root / "shortcut").string(), "", "", 0, mounts);
  EXPECT_EQ(viaLink.LogOn(), NetworkFolder::kNoError);
  EXPECT_EQ(viaLink.NetworkName(), "//nas/updates/2024") << "the mount is found by where the link leads";

  // files are still read through the mount
  test::WriteFile(root / "nas/2024/qupdate_s.ini", "[x]\n");
  EXPECT_TRUE(withUser.HasFile("qupdate_s.ini"));
}

TEST(NetworkFolder, LocalCopyReplacesTheTargetInOneStep) {
  test::SandboxRoot root;
  fs::create_directories(root / "src/sub");
  fs::create_directories(root / "dl/sub");
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 5);
  test::WriteFile(root / "src/big.cab", big);
  test::WriteFile(root / "src/sub/a.txt", "new");
  struct timespec old[2] = {{0, UTIME_OMIT}, {1600000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (root / "src/big.cab").c_str(), old, 0), 0);

  NetworkFolder folder((root / "src").string(), "", "");
  EXPECT_TRUE(folder.HasFile("big.cab"));
  EXPECT_TRUE(folder.HasFile("sub/a.txt"));
  EXPECT_FALSE(folder.HasFile("sub")) << "a folder is not a file";
  EXPECT_FALSE(folder.HasFile("nothing.cab"));

  ASSERT_TRUE(folder.CopyFile("big.cab", (root / "dl/big.cab").string())) << LastError::Text();
  EXPECT_EQ(test::ReadFile(root / "dl/big.cab"), big);
  struct stat st {};
  ASSERT_EQ(stat((root / "dl/big.cab").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1600000000) << "the copy keeps the file's time, as a file copy does";
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "private to the account that fetched it";

  // a link planted at the target is replaced, never written through
  test::WriteFile(root / "victim.txt", "mine");
  fs::create_symlink(root / "victim.txt", root / "dl/linked.cab");
  ASSERT_TRUE(folder.CopyFile("sub/a.txt", (root / "dl/linked.cab").string())) << LastError::Text();
  EXPECT_FALSE(fs::is_symlink(root / "dl/linked.cab"));
  EXPECT_EQ(test::ReadFile(root / "victim.txt"), "mine");
  fs::remove(root / "dl/linked.cab");

  // an existing target, read-only at that, is replaced
  test::WriteFile(root / "dl/sub/a.txt", "old content that is longer");
  chmod((root / "dl/sub/a.txt").c_str(), 0444);
  ASSERT_TRUE(folder.CopyFile("sub/a.txt", (root / "dl/sub/a.txt").string())) << LastError::Text();
  EXPECT_EQ(test::ReadFile(root / "dl/sub/a.txt"), "new");
  EXPECT_EQ(EntriesIn(root / "dl"), 2u) << "no temporary file is left";
  EXPECT_EQ(EntriesIn(root / "dl/sub"), 1u);
}

TEST(NetworkFolder, FailedLocalCopiesLeaveNothingBehind) {
  test::SandboxRoot root;
  fs::create_directories(root / "src/folder.cab");
  fs::create_directories(root / "dl/taken.cab");
  test::WriteFile(root / "src/a.cab", "payload");
  ASSERT_EQ(mkfifo((root / "src/pipe.cab").c_str(), 0644), 0);
  NetworkFolder folder((root / "src").string(), "", "");

  EXPECT_FALSE(folder.CopyFile("missing.cab", (root / "dl/missing.cab").string()));
  EXPECT_NE(LastError::Text().find("missing.cab"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(folder.CopyFile("folder.cab", (root / "dl/folder.cab").string()));
  EXPECT_NE(LastError::Text().find("folder"), std::string::npos) << LastError::Text();

  // opened for reading like a file, a FIFO would block this call for good
  EXPECT_FALSE(folder.CopyFile("pipe.cab", (root / "dl/pipe.cab").string()));

  EXPECT_FALSE(folder.CopyFile("a.cab", (root / "dl/nosub/a.cab").string())) << "subfolders are not made";
  EXPECT_NE(LastError::Text().find("nosub"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(folder.CopyFile("a.cab", (root / "dl/taken.cab").string())) << "a folder is not replaced by a file";
  EXPECT_TRUE(fs::is_directory(root / "dl/taken.cab"));

  EXPECT_EQ(EntriesIn(root / "dl"), 1u) << "only the folder that was there; no partial or temporary file";
  EXPECT_FALSE(NetworkFolder("relative", "", "").CopyFile("a.cab", (root / "dl/a.cab").string()));
  EXPECT_FALSE(fs::exists(root / "dl/a.cab"));
}

TEST(NetworkFolder, LocalCopiesStayInsideTheFolderAndWithinTheLimits) {
  test::SandboxRoot root;
  fs::create_directories(root / "dl");
  test::WriteFile(root / "victim/shadow", "private");
  fs::permissions(root / "victim/shadow", fs::perms::owner_read | fs::perms::owner_write);
  test::WriteFile(root / "src/public.cab", "public");
  test::WriteFile(root / "src/readonly.cab", "read-only");
  chmod((root / "src/public.cab").c_str(), 0644);
  chmod((root / "src/readonly.cab").c_str(), 0444);
  fs::create_symlink(root / "victim/shadow", root / "src/qupdate_s.ini");
  fs::create_directory_symlink(root / "victim", root / "src/cab");
  NetworkFolder folder((root / "src").string(), "", "");

  // a link is never read through, whether it is the file or a folder on the way
  EXPECT_FALSE(folder.HasFile("qupdate_s.ini"));
  for (const char* name : {"qupdate_s.ini", "cab/shadow"}) {
    LimitHit limit = LimitHit::kSize;
    EXPECT_FALSE(folder.CopyFile(name, (root / "dl/copy").string(), NetworkFolder::kDefaultMaxFileBytes, &limit));
    EXPECT_NE(LastError::Text().find("symbolic link"), std::string::npos) << LastError::Text();
    EXPECT_EQ(limit, LimitHit::kNone) << "refused as a link, not by a limit";
  }

  // sizes are judged before a byte is copied: a sparse file costs nothing to make huge
  test::WriteFile(root / "src/huge.cab", "");
  ASSERT_EQ(truncate((root / "src/huge.cab").c_str(), off_t{5} << 30), 0);
  LimitHit limit = LimitHit::kNone;
  test::AccessWatch huge(root / "src/huge.cab");
  EXPECT_FALSE(folder.CopyFile("huge.cab", (root / "dl/huge.cab").string(), NetworkFolder::kDefaultMaxFileBytes, &limit));
  EXPECT_FALSE(huge.Read()) << "judged by its size, not read " << huge.Why();
  EXPECT_EQ(limit, LimitHit::kSize);
  EXPECT_NE(LastError::Text().find("5368709120 bytes, more than the limit of 4294967296"), std::string::npos)
      << LastError::Text();
  test::WriteFile(root / "src/two.ini", std::string(2 << 20, 'i'));
  EXPECT_FALSE(folder.CopyFile("two.ini", (root / "dl/two.ini").string(), 1 << 20, &limit));
  EXPECT_EQ(limit, LimitHit::kSize);

  // below the floor rate: refused by time, nothing left
  test::WriteFile(root / "src/slow.cab", std::string(8 << 20, 's'));
  folder.SetFloorRate(uint64_t{1} << 40);
  EXPECT_FALSE(folder.CopyFile("slow.cab", (root / "dl/slow.cab").string(), NetworkFolder::kDefaultMaxFileBytes, &limit));
  EXPECT_EQ(limit, LimitHit::kTime);
  EXPECT_NE(LastError::Text().find("floor rate"), std::string::npos) << LastError::Text();
  EXPECT_EQ(EntriesIn(root / "dl"), 0u) << "nothing of a refused file is left";
  folder.SetFloorRate(0);

  // copies are private, and never wider than the source
  ASSERT_TRUE(folder.CopyFile("public.cab", (root / "dl/public.cab").string())) << LastError::Text();
  ASSERT_TRUE(folder.CopyFile("readonly.cab", (root / "dl/readonly.cab").string())) << LastError::Text();
  struct stat st {};
  ASSERT_EQ(stat((root / "dl/public.cab").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((root / "dl/readonly.cab").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0400u);
}

TEST(NetworkFolder, UnreadableSourceFails) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file; run as an ordinary user";
  test::SandboxRoot root;
  fs::create_directories(root / "dl");
  test::WriteFile(root / "src/secret.cab", "x");
  chmod((root / "src/secret.cab").c_str(), 0);
  NetworkFolder folder((root / "src").string(), "", "");
  EXPECT_FALSE(folder.CopyFile("secret.cab", (root / "dl/secret.cab").string()));
  EXPECT_NE(LastError::Text().find("ermission"), std::string::npos) << LastError::Text();
  EXPECT_EQ(EntriesIn(root / "dl"), 0u);
  chmod((root / "src").c_str(), 0);
  EXPECT_EQ(NetworkFolder((root / "src").string(), "", "").LogOn(), NetworkFolder::kAccessDenied);
  chmod((root / "src").c_str(), 0755);
}

}  // namespace
}  // namespace qrv::platform
