#include "platform/shell/XdgOpenLauncher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "platform/core/LastError.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

// A stand-in opener: records its argument count, each argument on its own
// line, and its working folder, then renames the record into place so the
// test never reads half of it.
std::string MakeOpener(const test::SandboxRoot& root) {
  std::string opener = (root / "bin/fake-open").string();
  std::string record = (root / "record").string();
  test::WriteFile(opener, "#!/bin/sh\n{ echo \"$#\"; for a in \"$@\"; do echo \"$a\"; done; pwd; } > '" + record +
                              ".part'\nmv '" + record + ".part' '" + record + "'\n");
  chmod(opener.c_str(), 0755);
  return opener;
}

// The opener is a shell script started by another process: on a busy machine
// that can take seconds, so the deadline only catches an opener that never runs.
bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// A zombie keeps its /proc entry with state Z until it is reaped.
bool Reaped(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

TEST(XdgOpenLauncher, StartsTheOpenerWithOneArgumentInTheFilesFolderAndReapsIt) {
  test::SandboxRoot root;
  XdgOpenLauncher launcher(MakeOpener(root));
  // characters a shell would act on must reach the opener untouched
  std::string folder = (root / "opt/Q Office/Docs").string();
  std::string file = folder + "/read me $(touch pwned) `id`;\"x\".txt";
  test::WriteFile(file, "text");

  ASSERT_TRUE(launcher.Open(file, folder)) << LastError::Text();
  pid_t child = launcher.LastChild();
  EXPECT_GT(child, 0);
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(root / "record"); })) << "opener never ran";
  std::string record = test::ReadFile(root / "record");
  EXPECT_EQ(record, "1\n" + file + "\n" + folder + "\n");
  EXPECT_FALSE(std::filesystem::exists(folder + "/pwned"));
  EXPECT_FALSE(std::filesystem::exists(root / "pwned"));
  EXPECT_TRUE(WaitFor([&] { return Reaped(child); })) << "child " << child << " left as a zombie";
}

TEST(XdgOpenLauncher, FailuresAreReportedNotThrown) {
  test::SandboxRoot root;
  test::WriteFile(root / "doc.txt", "x");
  std::string file = (root / "doc.txt").string();

  XdgOpenLauncher missing((root / "bin/no-such-opener").string());
  EXPECT_FALSE(missing.Open(file, root.Path().string()));
  EXPECT_NE(LastError::Text().find("no-such-opener"), std::string::npos) << LastError::Text();
  EXPECT_NE(LastError::Text().find(file), std::string::npos) << LastError::Text();

  XdgOpenLauncher opener(MakeOpener(root));
  EXPECT_FALSE(opener.Open("doc.txt", root.Path().string())) << "a relative name could pass for an option";
  EXPECT_FALSE(opener.Open(file, (root / "no-folder").string())) << "working folder missing";
  EXPECT_NE(LastError::Text().find("no-folder"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(std::filesystem::exists(root / "record"));
}

// The web page of the product list's Homepage button: the address reaches the
// opener as one argument from the root folder; anything that could pass for
// an option or a local file is refused before a process starts.
TEST(XdgOpenLauncher, ShowsOnlyWebAddresses) {
  test::SandboxRoot root;
  XdgOpenLauncher launcher(MakeOpener(root));
  for (const char* bad : {"--help", "file:///etc/shadow", "/etc/passwd", "https://a.example/ --x", "https://a.example/\nx",
                          "javascript:alert(1)", ""}) {
    EXPECT_FALSE(launcher.OpenAddress(bad)) << bad;
    EXPECT_NE(LastError::Text().find("not a web address"), std::string::npos) << LastError::Text();
  }
  EXPECT_FALSE(std::filesystem::exists(root / "record"));

  const std::string address = "https://update.qorvane.example/info/?a=1&b=$(id)";
  ASSERT_TRUE(launcher.OpenAddress(address)) << LastError::Text();
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(root / "record"); })) << "opener never ran";
  EXPECT_EQ(test::ReadFile(root / "record"), "1\n" + address + "\n/\n");
}

}  // namespace
}  // namespace qrv::platform
