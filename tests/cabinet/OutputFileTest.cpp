#include "cabinet/OutputFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/support/CabinetFixtures.h"
#include "tests/support/SandboxRoot.h"

namespace Cabinet::test {
namespace {

namespace fs = std::filesystem;
using qrv::test::CabinetFixtures;
using qrv::test::ReadFile;
using qrv::test::WriteFile;
using Strings = std::vector<std::string>;

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Folder());
    m_fd = open(Folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(m_fd, 0);
  }
  void TearDown() override { close(m_fd); }
  fs::path Folder() const { return m_root / "folder"; }
  bool Write(OutputFile& out, const std::string& data) {
    return ::write(out.Fd(), data.data(), data.size()) == static_cast<ssize_t>(data.size());
  }

  qrv::test::SandboxRoot m_root;
  int m_fd = -1;
};

TEST_F(OutputFileTest, ATemporaryBesideTheTargetIsRenamedOverItAndALinkThereIsReplacedNotFollowed) {
  WriteFile(m_root / "victim", "mine");
  fs::create_symlink(m_root / "victim", Folder() / "tool");
  OutputFile out;
  std::string error;
  ASSERT_TRUE(out.Create(m_fd, Folder().string(), "tool", error)) << error;
  const std::string temp = fs::path(out.TempPath()).filename();
  EXPECT_EQ(temp.rfind(".tool.qrv-", 0), 0u) << temp;
  EXPECT_TRUE(OutputFile::IsTemporaryName(temp)) << temp;
  EXPECT_EQ(out.FinalPath(), (Folder() / "tool").string());
  EXPECT_EQ(out.ExistingMode(), -1) << "a link is no file to take a mode from";
  ASSERT_TRUE(Write(out, "new tool"));
  ASSERT_TRUE(out.Commit(0750, nullptr, true, error)) << error;
  EXPECT_FALSE(fs::is_symlink(Folder() / "tool"));
  EXPECT_EQ(ReadFile(Folder() / "tool"), "new tool");
  EXPECT_EQ(ReadFile(m_root / "victim"), "mine");
  EXPECT_EQ(CabinetFixtures::Leftovers(Folder()), Strings{});

  // a very long name gets the short temporary name; discarding leaves nothing
  OutputFile longOne;
  ASSERT_TRUE(longOne.Create(m_fd, Folder().string(), std::string(220, 'n'), error)) << error;
  EXPECT_EQ(fs::path(longOne.TempPath()).filename().string().rfind(".qrv-", 0), 0u) << longOne.TempPath();
  longOne.Discard();
  EXPECT_EQ(CabinetFixtures::Leftovers(Folder()), Strings{});
  for (const std::string bad : {"", "..", "a/b"}) {
    OutputFile refused;
    EXPECT_FALSE(refused.Create(m_fd, Folder().string(), bad, error)) << bad;
    EXPECT_NE(error.find("not a plain file name"), std::string::npos) << error;
  }
}

TEST_F(OutputFileTest, StaleTemporariesAreRemovedButNotLinksFoldersOrFilesJustWritten) {
  EXPECT_TRUE(OutputFile::IsTemporaryName(".readme.txt.qrv-Ab12Cd"));
  EXPECT_TRUE(OutputFile::IsTemporaryName(".qrv-Ab12Cd"));
  EXPECT_TRUE(OutputFile::IsTemporaryName("readme.txt.qrv-Ab12Cd")) << "the name copies used to get";
  for (const char* name : {"readme.txt", ".qrv-Ab12C", ".qrv-Ab12Cde", "x.qrv-Ab 2Cd", "qrv-Ab12Cd", "x.qrv-Ab12C-",
                           ".qrv-"}) {
    EXPECT_FALSE(OutputFile::IsTemporaryName(name)) << name;
  }

  WriteFile(Folder() / ".a.txt.qrv-AAAAAA", "half");
  WriteFile(Folder() / ".qrv-BBBBBB", "half");
  WriteFile(Folder() / "b.txt.qrv-CCCCCC", "half");
  WriteFile(Folder() / ".just.qrv-DDDDDD", "the cabinet's own file");
  WriteFile(Folder() / "a.txt", "kept");
  WriteFile(m_root / "elsewhere" / "target", "mine");
  fs::create_symlink(m_root / "elsewhere" / "target", Folder() / ".l.qrv-EEEEEE");
  WriteFile(Folder() / ".d.qrv-FFFFFF" / "inside", "a folder is no temporary");

  std::string failures;
  EXPECT_EQ(OutputFile::RemoveStale(m_fd, Folder().string(), {".just.qrv-DDDDDD"}, failures), 3);
  EXPECT_EQ(failures, "");
  Strings left;
  for (const auto& entry : fs::directory_iterator(Folder())) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (Strings{".d.qrv-FFFFFF", ".just.qrv-DDDDDD", ".l.qrv-EEEEEE", "a.txt"}));
  EXPECT_TRUE(fs::is_symlink(Folder() / ".l.qrv-EEEEEE"));
  EXPECT_EQ(ReadFile(Folder() / ".d.qrv-FFFFFF" / "inside"), "a folder is no temporary");
  EXPECT_EQ(ReadFile(m_root / "elsewhere" / "target"), "mine");
}

}  // namespace
}  // namespace Cabinet::test
