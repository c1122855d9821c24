#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/core/LastError.h"
#include "platform/shell/DesktopEntry.h"
#include "platform/shell/ShortcutFile.h"
#include "tests/platform/shell/DesktopEntryReader.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

using test::ReadEntry;
using test::SplitExec;

TEST(DesktopEntry, ExecParsesBackToTheTargetWhateverItHolds) {
  const std::vector<std::string> targets = {
      "/opt/qrv/Bin/Writer",
      "/opt/Qorvane Office/Bin/Writer",
      "/opt/q/it's \"quoted\" $HOME `id` a\\b.exe",
      "/opt/q/100% sure;&|<>~*?#().sh",
      "/opt/q/tab\there\nnewline",
  };
  for (const std::string& target : targets) {
    auto keys = ReadEntry(DesktopEntry::Render("N", target, ""));
    ASSERT_EQ(SplitExec(keys["Exec"]), std::vector<std::string>{target}) << keys["Exec"];
    EXPECT_EQ(keys["Path"], DesktopEntry::FolderOf(target));
  }

  // a backslash is escaped for the quoting and then again for the value
  std::string text = DesktopEntry::Render("N", "/a\\b c", "");
  EXPECT_NE(text.find("\nExec=\"/a\\\\\\\\b c\"\n"), std::string::npos) << text;
  // inside quotes, " $ ` are escaped too (a reader's shell-like split would
  // otherwise end the quote or expand them)
  text = DesktopEntry::Render("N", "/q/a\"b$c`d", "");
  EXPECT_NE(text.find("\nExec=\"/q/a\\\\\"b\\\\$c\\\\`d\"\n"), std::string::npos) << text;
  // nothing reserved: written as it is
  text = DesktopEntry::Render("N", "/opt/q/Writer", "");
  EXPECT_NE(text.find("\nExec=/opt/q/Writer\n"), std::string::npos) << text;
  EXPECT_EQ(DesktopEntry::QuoteArgument("/x/50%"), "/x/50%%");
}

TEST(DesktopEntry, HeaderNameAndCommentSurviveEscaping) {
  std::string text = DesktopEntry::Render(" Writer\\Pro", "/opt/w/Writer", "line one\nline two\ttab\x01");
  EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u) << text;
  auto keys = ReadEntry(text);
  EXPECT_EQ(keys["Type"], "Application");
  EXPECT_EQ(keys["Version"], "1.5");
  EXPECT_EQ(keys["Name"], " Writer\\Pro") << "leading space and backslash kept";
  EXPECT_EQ(keys["Comment"], "line one\nline two\ttab") << "control characters other than the escapable go";
  EXPECT_EQ(keys["Path"], "/opt/w");
  EXPECT_EQ(DesktopEntry::Render("a", "/b", "").find("Comment="), std::string::npos) << "no empty comment";
}

TEST(ShortcutFile, WritesAtomicallyReadableByAllAndReplaces) {
  test::SandboxRoot root;
  std::string folder = (root / "apps").string();
  std::filesystem::create_directories(folder);
  mode_t old = umask(077);
  bool written = ShortcutFile::Write(folder, "Writer", "/opt/q/Writer", "old");
  umask(old);
  ASSERT_TRUE(written) << LastError::Text();
  std::string path = folder + "/Writer.desktop";
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u) << "whatever the umask";

  ASSERT_TRUE(ShortcutFile::Write(folder, "Writer", "/opt/q/Writer2", "new"));
  auto keys = ReadEntry(test::ReadFile(path));
  EXPECT_EQ(keys["Exec"], "/opt/q/Writer2");
  EXPECT_EQ(keys["Comment"], "new");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1) << "no temporary file left";

  EXPECT_FALSE(ShortcutFile::Write(folder + "/missing", "X", "/opt/x", ""));
  EXPECT_NE(LastError::Text().find(folder + "/missing"), std::string::npos) << LastError::Text();
}

TEST(ShortcutFile, BadNamesAndTargetsWriteAndDeleteNothing) {
  test::SandboxRoot root;
  std::string folder = (root / "apps").string();
  std::filesystem::create_directories(folder);
  test::WriteFile(root / "victim.desktop", "keep");
  test::WriteFile(root / "apps/..desktop", "keep");

  const std::vector<std::string> bad = {"", ".", "..", "../victim", "sub/x", "tab\there", std::string("nul\0x", 5),
                                        "del\x7f"};
  for (const std::string& name : bad) {
    EXPECT_FALSE(ShortcutFile::IsValidName(name)) << name;
    EXPECT_FALSE(ShortcutFile::Write(folder, name, "/opt/x", "")) << name;
    EXPECT_FALSE(ShortcutFile::Remove(folder, name)) << name;
  }
  EXPECT_FALSE(ShortcutFile::Write(folder, "Rel", "opt/x", "")) << "relative target";
  EXPECT_FALSE(ShortcutFile::Write(folder, "Ctl", "/opt/a\x1b" "b", "")) << "a control character in the program";
  EXPECT_NE(LastError::Text().find("/opt/a\\eb"), std::string::npos) << LastError::Text();
  EXPECT_EQ(test::ReadFile(root / "victim.desktop"), "keep");
  EXPECT_EQ(test::ReadFile(root / "apps/..desktop"), "keep");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);

  // names that are fine on Linux although odd
  EXPECT_TRUE(ShortcutFile::Write(folder, "Qorvane Writer (2)", "/opt/x", ""));
  EXPECT_TRUE(ShortcutFile::Remove(folder, "Qorvane Writer (2)"));
  EXPECT_FALSE(std::filesystem::exists(folder + "/Qorvane Writer (2).desktop"));
  EXPECT_TRUE(ShortcutFile::Remove(folder, "Never There")) << "absent counts as removed";
  EXPECT_TRUE(ShortcutFile::Remove(folder + "/no-folder", "X")) << "absent folder: nothing to remove";
}

}  // namespace
}  // namespace qrv::platform
