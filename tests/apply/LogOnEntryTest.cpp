#include "apply/LogOnEntry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;

TEST(LogOnEntryTest, WritesAndRemovesTheRunValueAndTheAutostartFileTogether) {
  test::SandboxRoot root;
  const std::string command = "/opt/Qorvane Update/qrvupdate --auto";
  std::string error;
  ASSERT_TRUE(LogOnEntry::Write(command, error)) << error;
  EXPECT_EQ(LogOnEntry::RegisteredCommand(), command);
  const fs::path file = root / "etc/xdg/autostart/qrvupdate.desktop";
  EXPECT_EQ(LogOnEntry::DesktopFilePath(), file);
  EXPECT_EQ(test::ReadFile(file),
            "[Desktop Entry]\nType=Application\nName=Qorvane Update\nTryExec=/opt/Qorvane Update/qrvupdate\n"
            "Exec=\"/opt/Qorvane Update/qrvupdate\" --auto\nX-GNOME-Autostart-enabled=true\n")
      << "the program path with a space is one quoted word; a session skips the entry once the program is gone";
  EXPECT_EQ(test::ModeOf(file), 0644u) << "every user's session reads it";

  ASSERT_TRUE(LogOnEntry::Write("/usr/bin/qrvupdate --auto", error)) << error;
  EXPECT_EQ(LogOnEntry::RegisteredCommand(), "/usr/bin/qrvupdate --auto") << "rewritten in place";
  EXPECT_NE(test::ReadFile(file).find("\nExec=/usr/bin/qrvupdate --auto\n"), std::string::npos);

  ASSERT_TRUE(LogOnEntry::Remove(error)) << error;
  EXPECT_EQ(LogOnEntry::RegisteredCommand(), "");
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(LogOnEntry::Remove(error)) << "nothing left to remove is no failure: " << error;
}

TEST(LogOnEntryTest, AFileThatCannotBeWrittenLeavesNoRunValue) {
  test::SandboxRoot root;
  test::WriteFile(root / "etc/xdg/autostart", "a file where the folder should be");
  std::string error;
  EXPECT_FALSE(LogOnEntry::Write("/usr/bin/qrvupdate --auto", error));
  EXPECT_NE(error.find((root / "etc/xdg/autostart").string()), std::string::npos) << error;
  EXPECT_EQ(LogOnEntry::RegisteredCommand(), "");
}

TEST(LogOnEntryTest, TheCommandNamesTheProgramBesideTheRunningOne) {
  EXPECT_EQ(LogOnEntry::Command("/opt/qrv"), "/opt/qrv/qrvupdate --auto");
  EXPECT_EQ(LogOnEntry::Command("/opt/qrv/"), "/opt/qrv/qrvupdate --auto");
  const fs::path self = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(LogOnEntry::Command(), (self.parent_path() / "qrvupdate").string() + " --auto");
}

}  // namespace
}  // namespace qrv
