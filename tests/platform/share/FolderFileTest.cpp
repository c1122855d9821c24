#include "platform/share/FolderFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

namespace fs = std::filesystem;
using Method = FolderFile::Method;

std::string ReadAll(int fd) {
  std::string text;
  char buffer[256];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(got));
  return text;
}

// Both ways of opening (the kernel's openat2, and the walk used where it is
// missing) must agree on every case.
class FolderFileTest : public ::testing::TestWithParam<Method> {
 protected:
  void SetUp() override {
    test::WriteFile(m_root / "folder/sub/a.txt", "inside");
    test::WriteFile(m_root / "outside/secret", "private");
    fs::permissions(m_root / "outside/secret", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(m_root / "outside/secret", m_root / "folder/qupdate_s.ini");
    fs::create_symlink("../outside/secret", m_root / "folder/relative.cab");
    fs::create_symlink("sub/a.txt", m_root / "folder/inner.txt");
    fs::create_directory_symlink(m_root / "outside", m_root / "folder/away");
    m_folder = ::open((m_root / "folder").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(m_folder, 0);
  }
  void TearDown() override { ::close(m_folder); }

  // errno of a failed open, or 0 when it opened
  int Refusal(const std::string& name, int flags = O_RDONLY) {
    errno = 0;
    int fd = FolderFile::Open(m_folder, name, flags, GetParam());
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
  }

  test::SandboxRoot m_root;
  int m_folder = -1;
};

TEST_P(FolderFileTest, OpensWhatLiesInsideAndNoLinkAtAll) {
  int fd = FolderFile::Open(m_folder, "sub/a.txt", O_RDONLY, GetParam());
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(ReadAll(fd), "inside");
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "never inherited by a program we start";
  ::close(fd);

  for (int flags : {O_RDONLY, O_PATH}) {
    // links out of the folder, absolute and relative, last component or not
    EXPECT_EQ(Refusal("qupdate_s.ini", flags), ELOOP);
    EXPECT_EQ(Refusal("relative.cab", flags), ELOOP);
    EXPECT_EQ(Refusal("away/secret", flags), ELOOP);
    // and one that would stay inside: links are not followed at all
    EXPECT_EQ(Refusal("inner.txt", flags), ELOOP);
  }
  EXPECT_EQ(Refusal("../outside/secret"), EXDEV);
  EXPECT_EQ(Refusal((m_root / "outside/secret").string()), EXDEV);
  EXPECT_EQ(Refusal("sub/missing.txt"), ENOENT);
  EXPECT_EQ(Refusal("sub/a.txt/more"), ENOTDIR);
  EXPECT_NE(FolderFile::Explain(ELOOP).find("symbolic link"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Methods, FolderFileTest, ::testing::Values(Method::kAuto, Method::kWalk),
                         [](const ::testing::TestParamInfo<Method>& param) {
                           return param.param == Method::kAuto ? std::string("Kernel") : std::string("Walk");
                         });

}  // namespace
}  // namespace qrv::platform
