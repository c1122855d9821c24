#include "cabinet/ConfinedFolder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/CabinetFixtures.h"
#include "tests/support/SandboxRoot.h"

namespace Cabinet::test {
namespace {

namespace fs = std::filesystem;
using qrv::test::CabinetFixtures;
using qrv::test::ModeOf;
using qrv::test::WriteFile;
using Strings = std::vector<std::string>;

// The identity of the folder a descriptor stands for.
std::pair<dev_t, ino_t> IdOf(int fd) {
  struct stat st {};
  EXPECT_EQ(fstat(fd, &st), 0);
  return {st.st_dev, st.st_ino};
}
std::pair<dev_t, ino_t> IdOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return {st.st_dev, st.st_ino};
}

class ConfinedFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_oldMask = umask(077);
    fs::create_directories(Root());
    fs::create_directories(m_root / "outside");
  }
  void TearDown() override { umask(m_oldMask); }
  fs::path Root() const { return m_root / "inst"; }

  qrv::test::SandboxRoot m_root;
  mode_t m_oldMask = 022;
};

TEST_F(ConfinedFolderTest, FoldersBelowTheRootAreReachedAndMadeWithTheirModeWhateverTheUmask) {
  ConfinedFolder root;
  std::string error;
  ASSERT_TRUE(root.Open(Root().string() + "/", false, error)) << error;

  const int made = root.OpenFolder("a/b/c", true, error);
  ASSERT_GE(made, 0) << error;
  EXPECT_EQ(IdOf(made), IdOf(Root() / "a" / "b" / "c"));
  close(made);
  for (const char* folder : {"a", "a/b", "a/b/c"}) EXPECT_EQ(ModeOf(Root() / folder), 0755u) << folder;

  // found again (one lookup where the kernel can), and the root itself
  for (const char* folder : {"a/b", ""}) {
    const int again = root.OpenFolder(folder, false, error);
    ASSERT_GE(again, 0) << error;
    EXPECT_EQ(IdOf(again), IdOf(Root() / folder));
    close(again);
  }

  // a missing folder without create, a file in the way with it
  ConfinedFolder::Refusal refusal = ConfinedFolder::Refusal::kNone;
  EXPECT_LT(root.OpenFolder("a/none", false, error, &refusal), 0);
  EXPECT_EQ(refusal, ConfinedFolder::Refusal::kFailed);
  EXPECT_EQ(error, "cannot open folder " + (Root() / "a" / "none").string() + ": No such file or directory");
  WriteFile(Root() / "a" / "file", "x");
  EXPECT_LT(root.OpenFolder("a/file/deeper", true, error, &refusal), 0);
  EXPECT_EQ(refusal, ConfinedFolder::Refusal::kFailed);
  EXPECT_EQ(error, "cannot create folder " + (Root() / "a" / "file").string() + ": a file of that name is in the way");
}

TEST_F(ConfinedFolderTest, LinksAndClimbingBelowTheRootAreRefusedButTheRootMayBeALink) {
  // a link to a folder outside, one to a file, one dangling, and one that
  // stays inside: none of them is ever followed
  fs::create_directories(Root() / "real");
  fs::create_directory_symlink(m_root / "outside", Root() / "etc");
  fs::create_directory_symlink(Root() / "real", Root() / "inner");
  fs::create_symlink(m_root / "outside" / "missing", Root() / "dangling");
  fs::create_directories(Root() / "deep" / "er");
  fs::create_directory_symlink(m_root / "outside", Root() / "deep" / "er" / "x");

  ConfinedFolder root;
  std::string error;
  ASSERT_TRUE(root.Open(Root().string(), true, error)) << error;
  for (const char* relative : {"etc", "etc/sub", "inner", "dangling/sub", "deep/er/x/y"}) {
    SCOPED_TRACE(relative);
    ConfinedFolder::Refusal refusal = ConfinedFolder::Refusal::kNone;
    EXPECT_LT(root.OpenFolder(relative, true, error, &refusal), 0);
    EXPECT_EQ(refusal, ConfinedFolder::Refusal::kEscape);
    EXPECT_NE(error.find(" is a symbolic link"), std::string::npos) << error;
  }
  EXPECT_NE(error.find((Root() / "deep" / "er" / "x").string()), std::string::npos) << "names the link: " << error;
  for (const char* relative : {"..", "real/../..", "./real", "real//x", "/etc"}) {
    SCOPED_TRACE(relative);
    ConfinedFolder::Refusal refusal = ConfinedFolder::Refusal::kNone;
    EXPECT_LT(root.OpenFolder(relative, true, error, &refusal), 0);
    EXPECT_EQ(refusal, ConfinedFolder::Refusal::kEscape) << error;
  }
  EXPECT_EQ(CabinetFixtures::Tree(m_root / "outside"), Strings{}) << "nothing was made through a link";

  // the root's own path is followed, links and all, and made when missing
  fs::create_directory_symlink(Root(), m_root / "alias");
  ConfinedFolder aliased;
  ASSERT_TRUE(aliased.Open((m_root / "alias" / "new" / "Product").string(), true, error)) << error;
  EXPECT_EQ(IdOf(aliased.Fd()), IdOf(Root() / "new" / "Product"));
  EXPECT_EQ(ModeOf(Root() / "new"), 0755u);
  ConfinedFolder blocked;
  WriteFile(m_root / "plain", "x");
  EXPECT_FALSE(blocked.Open((m_root / "plain" / "Product").string(), true, error));
  EXPECT_EQ(error, "cannot create folder " + (m_root / "plain").string() + ": a file of that name is in the way");
  EXPECT_FALSE(blocked.Open((m_root / "nothing").string(), false, error));
  EXPECT_EQ(error, "cannot open folder " + (m_root / "nothing").string() + ": No such file or directory");
}

// A link swapped in for a folder between lookups is caught at the next one:
// every lookup starts again from the open root.
TEST_F(ConfinedFolderTest, AFolderSwappedForALinkAfterItWasMadeIsRefusedAtTheNextLookup) {
  ConfinedFolder root;
  std::string error;
  ASSERT_TRUE(root.Open(Root().string(), false, error)) << error;
  const int first = root.OpenFolder("bin", true, error);
  ASSERT_GE(first, 0) << error;
  close(first);
  fs::rename(Root() / "bin", Root() / "bin.old");
  fs::create_directory_symlink(m_root / "outside", Root() / "bin");
  ConfinedFolder::Refusal refusal = ConfinedFolder::Refusal::kNone;
  EXPECT_LT(root.OpenFolder("bin", true, error, &refusal), 0);
  EXPECT_EQ(refusal, ConfinedFolder::Refusal::kEscape);
}

}  // namespace
}  // namespace Cabinet::test
