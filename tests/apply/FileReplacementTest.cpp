#include "apply/FileReplacement.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "apply/PendingReplacements.h"
#include "config/CQUpdateUtilRegistry.h"
#include "tests/apply/ApplyFixtures.h"
#include "tests/apply/UpdateRunFixture.h"
#include "tests/support/CabinetFixtures.h"
#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

TEST(CleanFolderTest, KeepsTheLogsAndBackupsAndRemovesEverythingElse) {
  test::SandboxRoot root;
  const fs::path dl = root / "dl";
  for (const char* name : {"quplog.ini", "qupdate_s.ini", "a.bak", "QUPLOG.INI", "x.bak.cab", "quplog",
                           "quplog.ini.new"}) {
    WriteFile(dl / name, "keep");
  }
  for (const char* name : {"quplog.ini20110315", "qupdate_s.ini20110315", "Writer.ini", ".bak", "w.cab", "abc"}) {
    WriteFile(dl / name, "go");
  }
  WriteFile(dl / "Tmp" / "Writer" / "deep" / "f.txt", "go");
  // the rule holds inside sub-folders too: a kept file keeps its folder
  WriteFile(dl / "spell" / "a.bak", "kept");
  WriteFile(dl / "spell" / "b.cab", "go");
  fs::create_directories(dl / "empty");
  // a read-only folder with files is still emptied and removed
  WriteFile(dl / "locked" / "f.txt", "go");
  chmod((dl / "locked").c_str(), 0500);
  // links are removed as links; what they point at stays
  WriteFile(root / "outside" / "precious.txt", "mine");
  fs::create_directory_symlink(root / "outside", dl / "linkdir");
  fs::create_symlink(root / "outside" / "precious.txt", dl / "linkfile");

  const fs::path before = fs::current_path();
  CleanFolder(dl.string() + "/");
  EXPECT_EQ(fs::current_path(), before);
  EXPECT_EQ(test::CabinetFixtures::Tree(dl),
            (std::vector<std::string>{"QUPLOG.INI", "a.bak", "qupdate_s.ini", "quplog", "quplog.ini", "quplog.ini.new",
                                      "spell", "spell/a.bak", "x.bak.cab"}));
  EXPECT_EQ(ReadFile(root / "outside" / "precious.txt"), "mine");

  EXPECT_TRUE(CleanFolderKeeps("quplog.ini"));
  EXPECT_FALSE(CleanFolderKeeps("quplog.ini20110315"));
  EXPECT_FALSE(CleanFolderKeeps(".bak"));
  EXPECT_FALSE(CleanFolderKeeps("a.gz")) << "four characters match nothing by the prefix rule";

  CleanFolder((root / "missing").string());  // nothing to do, nothing thrown
}

TEST(CleanFolderTest, EmptiesAFolderOfThousandsOfFiles) {
  test::SandboxRoot root;
  const fs::path dl = root / "dl";
  fs::create_directories(dl / "sub");
  for (int i = 0; i < 3000; ++i) {
    int fd = open((dl / (i % 2 == 0 ? "sub" : ".") / ("f" + std::to_string(i) + ".cab")).c_str(),
                  O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  // (its speed is measured by qrv_bench_apply, not here)
  CleanFolder(dl.string());
  EXPECT_TRUE(fs::is_empty(dl));
}

TEST(CopyFileOverTest, ReplacesByRenameMakesFoldersAndLeavesNothingOnFailure) {
  test::SandboxRoot root;
  WriteFile(root / "src" / "tool.sh", "new");
  chmod((root / "src" / "tool.sh").c_str(), 0755);
  WriteFile(root / "dst" / "tool.sh", "old");
  chmod((root / "dst" / "tool.sh").c_str(), 0444);
  // a program still running keeps the file it has open
  int held = open((root / "dst" / "tool.sh").c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  std::string error;
  ASSERT_TRUE(CopyFileOver((root / "src" / "tool.sh").string(), (root / "dst" / "tool.sh").string(), error)) << error;
  char buffer[8] = {};
  EXPECT_EQ(pread(held, buffer, sizeof buffer, 0), 3);
  EXPECT_EQ(std::string(buffer, 3), "old");
  close(held);
  EXPECT_EQ(ReadFile(root / "dst" / "tool.sh"), "new");
  struct stat st {};
  stat((root / "dst" / "tool.sh").c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0755u);

  EXPECT_TRUE(CopyFileOver((root / "src" / "tool.sh").string(), (root / "dst" / "new" / "sub" / "t").string(), error))
      << error;
  EXPECT_EQ(ReadFile(root / "dst" / "new" / "sub" / "t"), "new");

  // a folder in the way: the reason names the target, no temporary stays
  WriteFile(root / "dst" / "busy" / "x", "x");
  EXPECT_FALSE(CopyFileOver((root / "src" / "tool.sh").string(), (root / "dst" / "busy").string(), error));
  EXPECT_NE(error.find((root / "dst" / "busy").string()), std::string::npos) << error;
  EXPECT_EQ(test::CabinetFixtures::Leftovers(root / "dst"), std::vector<std::string>{});
  EXPECT_FALSE(CopyFileOver((root / "src" / "none").string(), (root / "dst" / "none").string(), error));
  EXPECT_NE(error.find("cannot open " + (root / "src" / "none").string()), std::string::npos) << error;
}

TEST(CopyFolderTreeTest, CopiesTheTreeQueuesWhatFailsAndEmptiesTheSource) {
  test::SandboxRoot root;
  const fs::path src = root / "hold";
  WriteFile(src / "a.txt", "a");
  WriteFile(src / "sub" / "b.txt", "b");
  WriteFile(src / "stuck.txt", "s");
  fs::create_symlink(root / "outside.txt", src / "link");
  WriteFile(root / "outside.txt", "mine");
  WriteFile(root / "inst" / "stuck.txt" / "x", "obstacle");

  EXPECT_EQ(CopyFolderTree(src.string(), (root / "inst").string()), 0);
  EXPECT_EQ(ReadFile(root / "inst" / "a.txt"), "a");
  EXPECT_EQ(ReadFile(root / "inst" / "sub" / "b.txt"), "b");
  EXPECT_FALSE(fs::exists(root / "inst" / "link"));
  EXPECT_EQ(ReadFile(root / "outside.txt"), "mine");
  EXPECT_EQ(test::CabinetFixtures::Tree(src), std::vector<std::string>{"sub"});

  auto queued = PendingReplacements::List();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].target, (root / "inst" / "stuck.txt").string());
  EXPECT_EQ(ReadFile(queued[0].source), "s");

  // a second entry runs after the first; a done entry leaves the queue
  WriteFile(root / "late.txt", "late");
  EXPECT_EQ(QueueReplaceAtRestart((root / "late.txt").string(), (root / "inst" / "late.txt").string()), 1);
  EXPECT_FALSE(fs::exists(root / "late.txt")) << "queueing moves the file";
  queued = PendingReplacements::List();
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(queued[1].target, (root / "inst" / "late.txt").string());
  std::vector<std::string> failures;
  EXPECT_EQ(PendingReplacements::RunAll(failures), 1u);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].rfind((root / "inst" / "stuck.txt").string(), 0), 0u) << failures[0];
  EXPECT_EQ(ReadFile(root / "inst" / "late.txt"), "late");
  ASSERT_EQ(PendingReplacements::List().size(), 1u);
  EXPECT_EQ(PendingReplacements::List()[0].id, queued[0].id);
}

TEST(CopyFolderTreeTest, AFileBehindALinkInTheTargetIsRefusedNotQueuedAndTheRestIsCopied) {
  test::SandboxRoot root;
  const fs::path src = root / "hold";
  WriteFile(src / "a.txt", "a");
  WriteFile(src / "conf" / "evil.conf", "evil");
  WriteFile(src / "lib" / "x.so", "x");
  fs::create_directories(root / "inst");
  fs::create_directories(root / "etc");
  fs::create_directory_symlink(root / "etc", root / "inst" / "conf");

  std::string refusal;
  EXPECT_EQ(CopyFolderTree(src.string(), (root / "inst").string(), &refusal), -1);
  EXPECT_NE(refusal.find("refusing to write " + (root / "inst" / "conf" / "evil.conf").string()), std::string::npos)
      << refusal;
  EXPECT_NE(refusal.find((root / "inst" / "conf").string() + " is a symbolic link"), std::string::npos) << refusal;
  EXPECT_EQ(test::CabinetFixtures::Tree(root / "etc"), std::vector<std::string>{});
  EXPECT_TRUE(PendingReplacements::List().empty()) << "the queue works by path: it would follow the link";
  EXPECT_EQ(ReadFile(root / "inst" / "a.txt"), "a");
  EXPECT_EQ(ReadFile(root / "inst" / "lib" / "x.so"), "x");
  EXPECT_EQ(test::CabinetFixtures::Tree(src), (std::vector<std::string>{"conf", "lib"})) << "no file stays behind";
}

// ExtractCabinetToProduct on its own, with maker-signed cabinets.
class ExtractCabinetToProductTest : public test::UpdateRunFixture {
 protected:
  void SetUp() override {
    UpdateRunFixture::SetUp();
    AddProduct("Writer");
  }
  std::string Signed(const std::string& name, const std::map<std::string, std::string>& files) {
    test::ApplyFixtures::MakeSignedCabinet(m_fixtures, Download() / name, files);
    return (Download() / name).string();
  }
};

TEST_F(ExtractCabinetToProductTest, ASuccessfulUnpackClearsWhatAnInterruptedOneLeftInTheFoldersItWrote) {
  const std::string cabinet = Signed("w.cab", {{"a.txt", "a"}, {"bin/tool", "t"}});
  const fs::path inst = Install("Writer");
  // what a killed earlier run left: temporaries of the unpacking and of the copy
  WriteFile(inst / ".a.txt.qrv-Zx81Qa", "half");
  WriteFile(inst / "bin" / ".tool.qrv-00aaZZ", "half");
  WriteFile(inst / "bin" / "tool.qrv-q1W2e3", "half copy");
  // in a folder this cabinet does not touch, and a link of that name
  WriteFile(inst / "other" / ".o.qrv-Zx81Qa", "not ours to judge now");
  WriteFile(m_root / "precious", "mine");
  fs::create_symlink(m_root / "precious", inst / ".p.qrv-Zx81Qa");

  std::string failure;
  EXPECT_EQ(ExtractCabinetToProduct(cabinet, inst.string() + "/", "Writer", &failure), 1) << failure;
  EXPECT_EQ(failure, "");
  EXPECT_TRUE(fs::is_symlink(inst / ".p.qrv-Zx81Qa"));
  fs::remove(inst / ".p.qrv-Zx81Qa");  // a link is never a stale temporary (Tree would show its target)
  EXPECT_EQ(test::CabinetFixtures::Tree(inst),
            (std::vector<std::string>{"a.txt", "bin", "bin/tool", "other", "other/.o.qrv-Zx81Qa"}));
  EXPECT_EQ(ReadFile(m_root / "precious"), "mine");
  std::string dest;
  CQUpdateUtilRegistry().ReadString("UpdateRemainDest", dest);
  EXPECT_EQ(dest, inst.string());

  // The cabinets of a product share what was cleared: a folder is listed
  // once, and one that a later cabinet is the first to write to is still
  // cleared after that cabinet.
  WriteFile(inst / "other" / ".o.qrv-Zx81Qa", "half");
  std::set<std::string> swept;
  EXPECT_EQ(ExtractCabinetToProduct(cabinet, inst.string(), "Writer", &failure, &swept), 1) << failure;
  EXPECT_EQ(swept, (std::set<std::string>{"", "bin"}));
  EXPECT_EQ(ExtractCabinetToProduct(Signed("o.cab", {{"other/o", "o"}}), inst.string(), "Writer", &failure, &swept),
            1)
      << failure;
  EXPECT_EQ(swept, (std::set<std::string>{"", "bin", "other"}));
  EXPECT_EQ(test::CabinetFixtures::Tree(inst),
            (std::vector<std::string>{"a.txt", "bin", "bin/tool", "other", "other/o"}));
}

TEST_F(ExtractCabinetToProductTest, ALinkInPlaceOfTheCabinetOrInTheProductFailsWithTheReason) {
  const std::string cabinet = Signed("w.cab", {{"a.txt", "a"}, {"conf/x.conf", "x"}});
  const fs::path inst = Install("Writer");

  // the cabinet's name is a link to the real file: not the downloaded file
  fs::rename(cabinet, Download() / "real.cab");
  fs::create_symlink(Download() / "real.cab", cabinet);
  std::string failure;
  EXPECT_EQ(ExtractCabinetToProduct(cabinet, inst.string(), "Writer", &failure), 0);
  EXPECT_NE(failure.find(cabinet + ": it is a symbolic link"), std::string::npos) << failure;
  EXPECT_FALSE(fs::exists(inst / "a.txt"));
  fs::remove(cabinet);
  fs::rename(Download() / "real.cab", cabinet);

  // a folder of the product that leads elsewhere
  fs::create_directories(m_root / "etc");
  fs::create_directory_symlink(m_root / "etc", inst / "conf");
  EXPECT_EQ(ExtractCabinetToProduct(cabinet, inst.string(), "Writer", &failure), 0);
  EXPECT_NE(failure.find("refusing to write " + (inst / "conf" / "x.conf").string()), std::string::npos) << failure;
  EXPECT_NE(failure.find(cabinet), std::string::npos) << failure;
  EXPECT_EQ(test::CabinetFixtures::Tree(m_root / "etc"), std::vector<std::string>{});
  EXPECT_TRUE(PendingReplacements::List().empty());
  EXPECT_EQ(m_progress->restart.load(), 0u);

  // a relative installation folder
  EXPECT_EQ(ExtractCabinetToProduct(cabinet, "inst/Writer", "Writer", &failure), 0);
  EXPECT_NE(failure.find("is not an absolute path"), std::string::npos) << failure;
}

}  // namespace
}  // namespace qrv
