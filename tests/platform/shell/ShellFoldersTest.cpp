#include "platform/shell/ShellFolders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/core/LastError.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/ScopedEnv.h"

namespace qrv::platform {
namespace {

using test::ScopedEnv;

constexpr const char* kNoHelper = "qrv-test-no-such-helper";

TEST(ShellFolders, MenuCodesShareTheApplicationsFolderBelowTheRoot) {
  test::SandboxRoot root;
  std::string folder;
  std::string apps = (root.Path() / "usr/local/share/applications").string();
  ASSERT_TRUE(ShellFolders::Folder(ShellFolders::kProgramsMenu, folder));
  EXPECT_EQ(folder, apps);
  ASSERT_TRUE(ShellFolders::Folder(ShellFolders::kStartMenu, folder));
  EXPECT_EQ(folder, apps);
  EXPECT_FALSE(std::filesystem::exists(apps)) << "looking a folder up creates nothing";

  folder = "stale";
  EXPECT_FALSE(ShellFolders::Folder(3, folder));
  EXPECT_TRUE(folder.empty());
  EXPECT_NE(LastError::Text().find("code 3"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(ShellFolders::Folder(0xFFFFFFFFu, folder));
}

TEST(ShellFolders, DesktopComesFromTheUsersDirsFileWithOrWithoutTheHelper) {
  test::SandboxRoot root;
  std::string home = (root / "home/ann").string();
  ScopedEnv homeEnv("HOME", home);
  ScopedEnv configEnv("XDG_CONFIG_HOME", std::nullopt);

  // nothing configured: $HOME/Desktop
  EXPECT_EQ(ShellFolders::UserDesktopPath(kNoHelper), home + "/Desktop");

  test::WriteFile(root / "home/ann/.config/user-dirs.dirs",
                  "# written by xdg-user-dirs-update\n"
                  "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
                  "XDG_DESKTOP_DIR=\"$HOME/Schreib tisch\"\n");
  EXPECT_EQ(ShellFolders::UserDesktopPath(kNoHelper), home + "/Schreib tisch");
  EXPECT_EQ(ShellFolders::DesktopFolder(kNoHelper), root.Path().string() + home + "/Schreib tisch")
      << "the user's desktop moves below the system root";

  // the helper, when installed, reads the same file and must agree
  if (std::filesystem::exists("/usr/bin/xdg-user-dir")) {
    EXPECT_EQ(ShellFolders::UserDesktopPath("/usr/bin/xdg-user-dir"), home + "/Schreib tisch");
  }

  // $XDG_CONFIG_HOME wins over ~/.config; absolute values are taken as they are
  std::string config = (root / "config").string();
  test::WriteFile(root / "config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"/srv/desk/\"\n");
  {
    ScopedEnv other("XDG_CONFIG_HOME", config);
    EXPECT_EQ(ShellFolders::UserDesktopPath(kNoHelper), "/srv/desk");
  }

  // a helper that prints no absolute path is not believed
  std::string liar = (root / "bin/liar").string();
  test::WriteFile(liar, "#!/bin/sh\necho relative/desk\n");
  chmod(liar.c_str(), 0755);
  EXPECT_EQ(ShellFolders::UserDesktopPath(liar), home + "/Schreib tisch");
  std::string failing = (root / "bin/failing").string();
  test::WriteFile(failing, "#!/bin/sh\necho /elsewhere\nexit 3\n");
  chmod(failing.c_str(), 0755);
  EXPECT_EQ(ShellFolders::UserDesktopPath(failing), home + "/Schreib tisch") << "a failing helper is not believed";
  std::string honest = (root / "bin/honest").string();
  test::WriteFile(honest, "#!/bin/sh\n[ \"$1\" = DESKTOP ] && echo /home/ann/Bureau\n");
  chmod(honest.c_str(), 0755);
  EXPECT_EQ(ShellFolders::UserDesktopPath(honest), "/home/ann/Bureau");
}

TEST(ShellFolders, NoHomeMeansNoDesktop) {
  test::SandboxRoot root;
  ScopedEnv homeEnv("HOME", std::nullopt);
  ScopedEnv configEnv("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_EQ(ShellFolders::UserDesktopPath(kNoHelper), "");
  EXPECT_EQ(ShellFolders::DesktopFolder(kNoHelper), "") << "not the system root itself";
  ScopedEnv relative("HOME", "home/ann");
  EXPECT_EQ(ShellFolders::UserDesktopPath(kNoHelper), "") << "a relative $HOME is no home";
}

}  // namespace
}  // namespace qrv::platform
