#include "apply/CQUpdateApplier.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "apply/PendingReplacements.h"
#include "tests/apply/UpdateRunFixture.h"
#include "tests/support/CabinetFixtures.h"
#include "tests/support/ProcessRunner.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

// Applying from a log written here, with cabinets signed as the maker in
// the download folder (each is checked once more as it is unpacked).
class CQUpdateApplierTest : public test::UpdateRunFixture {
 protected:
  // A maker-signed cabinet of files at name below the download folder.
  std::string Cabinet(const std::string& name, const std::map<std::string, std::string>& files) {
    test::ApplyFixtures::MakeSignedCabinet(m_fixtures, Download() / name, files);
    return (Download() / name).string();
  }
  // The same files packed but not signed.
  std::string Unsigned(const std::string& name, const std::map<std::string, std::string>& files) {
    const fs::path path = Download() / name;
    fs::create_directories(path.parent_path());
    test::ApplyFixtures::MakeCabinet(path, files);
    return path.string();
  }
  // A log listing one cabinet path per product (feature = product).
  void WriteLog(const std::vector<std::pair<std::string, std::string>>& products) {
    std::string text = "[PRODUCTLIST]\nCOUNT=" + std::to_string(products.size()) + "\n";
    for (size_t i = 0; i < products.size(); ++i) text += "PRODUCT" + std::to_string(i) + "=" + products[i].first + "\n";
    for (const auto& [product, cabinet] : products) {
      text += "[" + product + "]\nCOUNT=1\nFILE0=x\nFILE0TEMPPATH=" + cabinet + "\n";
    }
    WriteFile(Download() / "quplog.ini", text);
  }
  void Levels(const std::string& lines) { WriteFile(Download() / "qupdate_s.ini", "[UpdateVersionInfo]\n" + lines); }
  std::vector<std::string> Tree(const std::string& product) { return test::CabinetFixtures::Tree(Install(product)); }
};

TEST_F(CQUpdateApplierTest, ACancelDuringTheFirstProductStopsBeforeTheSecond) {
  AddProduct("Writer");
  AddProduct("Calc");
  Levels("Writer=7\nCalc=8\n");
  WriteLog({{"Writer", Cabinet("w.cab", {{"w.txt", "w"}})}, {"Calc", Cabinet("c.cab", {{"c.txt", "c"}})}});
  CQUpdateApplier applier;
  m_progress->onText = [&applier](platform::ProgressKind kind, const std::string&) {
    if (kind == platform::ProgressKind::kCopying) applier.RequestCancel();
  };
  EXPECT_EQ(applier.ApplyUpdates(), CopyResult::kCancelled);
  EXPECT_EQ(Tree("Writer"), std::vector<std::string>{"w.txt"});
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(Tree("Calc"), std::vector<std::string>{});
  EXPECT_EQ(Version("Calc"), 5u);
  EXPECT_EQ(applier.ApplyProduct("Calc", UpdateFiles::LogPath(), UpdateFiles::InfoPath()), CopyResult::kCancelled)
      << "the request is never cleared";
}

TEST_F(CQUpdateApplierTest, LoggedPathsThatAreNotCabinetsInTheDownloadFolderFailTheProduct) {
  AddProduct("Writer");
  AddProduct("Calc");
  Levels("Writer=7\nCalc=8\n");
  const std::string good = Cabinet("c.cab", {{"c.txt", "c"}});
  fs::create_directories(m_root / "elsewhere");
  test::ApplyFixtures::MakeCabinet(m_root / "elsewhere" / "x.cab", {{"evil.txt", "e"}});
  const std::string dl = Download().string();
  WriteFile(Download() / "notes.txt", "text");
  for (const std::string& bad : std::vector<std::string>{dl + "/notes.txt", (m_root / "elsewhere" / "x.cab").string(),
                                dl + "/../../elsewhere/x.cab", std::string("elsewhere/x.cab"), dl + "x.cab"}) {
    SCOPED_TRACE(bad);
    WriteLog({{"Calc", good}, {"Writer", bad}});
    CQUpdateApplier applier;
    EXPECT_EQ(applier.ApplyUpdates(), CopyResult::kFailed);
    EXPECT_EQ(Version("Calc"), 8u) << "the products before stay applied";
    EXPECT_EQ(Tree("Writer"), std::vector<std::string>{});
    EXPECT_EQ(Version("Writer"), 5u);
  }
  EXPECT_EQ(Tree("Calc"), std::vector<std::string>{"c.txt"});
}

// "." and ".." parts of DownloadPath (refused before a download, but the
// applier may meet them) are taken as the system takes them: the logged
// cabinets below the folder's own text apply, and a tidied spelling that the
// system resolves elsewhere (x/.. through a link) is refused.
TEST_F(CQUpdateApplierTest, DownloadPathsWithDotPartsCompareAsTheSystemResolvesThem) {
  AddProduct("Writer");
  Levels("Writer=7\n");
  const std::string cabinet = Cabinet("w.cab", {{"w.txt", "w"}});
  fs::create_directories(m_root / "x");
  fs::create_directories(m_root / "dl" / "x");
  const std::string root = m_root.Path().string();
  for (const std::string& setting :
       std::vector<std::string>{root + "/./dl", root + "/x/../dl", root + "/dl/x/..", root + "/dl/x/../."}) {
    SCOPED_TRACE(setting);
    m_main.SetString("DownloadPath", setting);
    WriteLog({{"Writer", UpdateFiles::DownloadFolder() + "w.cab"}});
    CQUpdateApplier applier;
    EXPECT_EQ(applier.ApplyUpdates(), CopyResult::kDone) << applier.FailureReason();
    EXPECT_EQ(Version("Writer"), 7u);
    EXPECT_EQ(applier.Rollback(1), 1);
  }

  // link/.. is deep/, so the folder is deep/dl/QRVDownload, not dl/QRVDownload
  const fs::path folder = m_root / "deep" / "dl" / "QRVDownload";
  fs::create_directories(m_root / "deep" / "er");
  fs::create_directories(folder);
  fs::create_directory_symlink(m_root / "deep" / "er", m_root / "link");
  fs::copy_file(cabinet, folder / "w.cab");
  WriteFile(folder / "qupdate_s.ini", "[UpdateVersionInfo]\nWriter=8\n");
  m_main.SetString("DownloadPath", root + "/link/../dl");
  for (const auto& [logged, result] : std::vector<std::pair<std::string, CopyResult>>{
           {cabinet, CopyResult::kFailed}, {UpdateFiles::DownloadFolder() + "w.cab", CopyResult::kDone}}) {
    SCOPED_TRACE(logged);
    WriteFile(folder / "quplog.ini",
              "[PRODUCTLIST]\nCOUNT=1\nPRODUCT0=Writer\n[Writer]\nCOUNT=1\nFILE0=w\nFILE0TEMPPATH=" + logged + "\n");
    CQUpdateApplier applier;
    EXPECT_EQ(applier.ApplyUpdates(), result) << applier.FailureReason();
    EXPECT_EQ(applier.FailureReason().find("is not inside the download folder") != std::string::npos,
              result == CopyResult::kFailed)
        << applier.FailureReason();
  }
  EXPECT_EQ(Version("Writer"), 8u);
}

TEST_F(CQUpdateApplierTest, ProductsNotInstalledAndRollbackWithoutBackup) {
  AddProduct("Writer");
  Levels("Writer=7\nGhost=3\n");
  WriteLog({{"Ghost", Cabinet("g.cab", {{"g.txt", "g"}})}});
  CQUpdateApplier applier;
  EXPECT_EQ(applier.ApplyUpdates(), CopyResult::kDone) << "nothing to apply counts as applied";
  platform::RegistryKey ghost;
  EXPECT_EQ(m_main.OpenSubKey("Ghost", platform::RegAccess::kRead, ghost), platform::RegStatus::kNotFound)
      << "recording the level must not invent the product";
  EXPECT_FALSE(fs::exists(m_root / "g.txt"));

  // installed, but nobody knows where: refused, not recorded as updated
  platform::RegistryKey nowhere;
  ASSERT_EQ(m_main.CreateSubKey("Nowhere", nowhere), platform::RegStatus::kOk);
  nowhere.SetDword("ProductVersion", 2);
  Levels("Writer=7\nGhost=3\nNowhere=4\n");
  WriteLog({{"Nowhere", Cabinet("n.cab", {{"n.txt", "n"}})}});
  EXPECT_EQ(applier.ApplyUpdates(), CopyResult::kFailed);
  EXPECT_EQ(Version("Nowhere"), 2u);
  EXPECT_FALSE(fs::exists(fs::current_path() / "n.txt"));

  m_progress->statuses.clear();

  // Writer logged but never applied: no backup, so Rollback leaves the level
  WriteLog({{"Writer", Cabinet("w.cab", {{"w.txt", "w"}})}});
  EXPECT_EQ(applier.Rollback(1), 1);
  EXPECT_EQ(Version("Writer"), 5u);
  // a negative backup is not restored either, but it is removed
  platform::RegistryKey writer;
  ASSERT_EQ(m_main.OpenSubKey("Writer", platform::RegAccess::kAll, writer), platform::RegStatus::kOk);
  writer.SetDword("ProductVersion_Bak", 0x80000000u);
  EXPECT_EQ(applier.Rollback(1), 1);
  EXPECT_EQ(Version("Writer"), 5u);
  EXPECT_EQ(Backup("Writer"), CQUpdateMgrEnv::kMissing);
  EXPECT_EQ(m_progress->statuses, (std::vector<std::string>{"7:", "7:"}));
}

// A product that had never been updated (level 0, or no level at all) goes
// back to 0: a backup of 0 is a level like any other, not "no backup".
TEST_F(CQUpdateApplierTest, RollbackPutsBackALevelOfZeroWhetherItWasStoredOrMissing) {
  AddProduct("Writer");
  AddProduct("Calc");
  platform::RegistryKey writer;
  platform::RegistryKey calc;
  ASSERT_EQ(m_main.OpenSubKey("Writer", platform::RegAccess::kAll, writer), platform::RegStatus::kOk);
  ASSERT_EQ(m_main.OpenSubKey("Calc", platform::RegAccess::kAll, calc), platform::RegStatus::kOk);
  writer.SetDword("ProductVersion", 0);
  ASSERT_EQ(calc.DeleteValue("ProductVersion"), platform::RegStatus::kOk);
  ASSERT_EQ(Version("Calc"), CQUpdateMgrEnv::kMissing);
  Levels("Writer=7\nCalc=8\n");
  WriteLog({{"Writer", Cabinet("w.cab", {{"w.txt", "w"}})}, {"Calc", Cabinet("c.cab", {{"c.txt", "c"}})}});

  CQUpdateApplier applier;
  ASSERT_EQ(applier.ApplyUpdates(), CopyResult::kDone) << applier.FailureReason();
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(Version("Calc"), 8u);
  EXPECT_EQ(Backup("Writer"), 0u);
  EXPECT_EQ(Backup("Calc"), 0u) << "no level reads as 0";

  EXPECT_EQ(applier.Rollback(1), 1);
  EXPECT_EQ(Version("Writer"), 0u);
  EXPECT_EQ(Version("Calc"), 0u);
  EXPECT_EQ(Backup("Writer"), CQUpdateMgrEnv::kMissing);
  EXPECT_EQ(Backup("Calc"), CQUpdateMgrEnv::kMissing);
  EXPECT_EQ(Tree("Calc"), std::vector<std::string>{"c.txt"}) << "unpacked files stay";
}

TEST_F(CQUpdateApplierTest, AProductWithACabinetThatFailsKeepsItsLevelSaysWhyAndIsAppliedWholeNextTime) {
  AddProduct("Calc");
  AddProduct("Writer");
  Levels("Calc=8\nWriter=7\n");
  const std::string calc = Cabinet("c.cab", {{"c.txt", "c"}});
  const std::string first = Cabinet("w1.cab", {{"one.txt", "one"}});
  const std::string second = Unsigned("w2.cab", {{"two.txt", "two"}});
  WriteFile(Download() / "quplog.ini",
            "[PRODUCTLIST]\nCOUNT=2\nPRODUCT0=Calc\nPRODUCT1=Writer\n[Calc]\nCOUNT=1\nFILE0=c\nFILE0TEMPPATH=" + calc +
                "\n[Writer]\nCOUNT=2\nFILE0=w1\nFILE0TEMPPATH=" + first + "\nFILE1=w2\nFILE1TEMPPATH=" + second + "\n");

  CQUpdateApplier applier;
  EXPECT_EQ(applier.ApplyUpdates(), CopyResult::kFailed);
  EXPECT_EQ(Version("Calc"), 8u) << "the product before stays applied";
  EXPECT_EQ(Version("Writer"), 5u) << "one of its cabinets did not go in: the level stays";
  EXPECT_EQ(Backup("Writer"), CQUpdateMgrEnv::kMissing);
  EXPECT_FALSE(fs::exists(Install("Writer") / "two.txt"));
  const std::string why = applier.FailureReason();
  EXPECT_NE(why.find("Writer"), std::string::npos) << why;
  EXPECT_NE(why.find(second), std::string::npos) << why;
  EXPECT_NE(why.find("not signed"), std::string::npos) << why;

  // the next run gets the cabinet signed and unpacks the product whole
  Cabinet("w2.cab", {{"two.txt", "two"}});
  CQUpdateApplier next;
  EXPECT_EQ(next.ApplyUpdates(), CopyResult::kDone);
  EXPECT_EQ(next.FailureReason(), "");
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(Tree("Writer"), (std::vector<std::string>{"one.txt", "two.txt"}));
}

TEST_F(CQUpdateApplierTest, ACabinetThatFitsNeitherInPlaceNorInTheHoldingFolderFailsTheProduct) {
  AddProduct("Writer");
  Levels("Writer=7\n");
  WriteLog({{"Writer", Cabinet("w.cab", {{"a.txt", "a"}, {"sub/b.txt", "b"}})}});
  // a file where the folder sub must go, and one where the holding folders go
  WriteFile(Install("Writer") / "sub", "in the way");
  WriteFile(Download() / "Tmp", "in the way too");

  CQUpdateApplier applier;
  EXPECT_EQ(applier.ApplyUpdates(), CopyResult::kFailed);
  EXPECT_EQ(Version("Writer"), 5u);
  const std::string why = applier.FailureReason();
  EXPECT_NE(why.find("holding folder " + (Download() / "Tmp" / "Writer").string()), std::string::npos) << why;
  EXPECT_NE(why.find("cannot create folder " + (Install("Writer") / "sub").string()), std::string::npos) << why;
  EXPECT_NE(why.find("cannot create folder " + (Download() / "Tmp").string() + ": a file of that name is in the way"),
            std::string::npos)
      << why;
  EXPECT_EQ(m_progress->restart.load(), 0u) << "nothing was queued";
  EXPECT_TRUE(PendingReplacements::List().empty());
}

TEST_F(CQUpdateApplierTest, AFileThatCannotBeReplacedIsQueuedAndTheBootRunFinishesIt) {
  AddProduct("Writer");
  Levels("Writer=7\n");
  WriteLog({{"Writer", Cabinet("w.cab", {{"a.txt", "new a"}, {"m.txt", "new m"}, {"z/z.txt", "new z"}})}});
  // m.txt is taken by a folder that is not empty: it cannot be replaced now
  WriteFile(Install("Writer") / "m.txt" / "inside", "obstacle");
  CQUpdateApplier applier;
  EXPECT_EQ(applier.ApplyUpdates(), CopyResult::kDone);
  EXPECT_EQ(ReadFile(Install("Writer") / "a.txt"), "new a");
  EXPECT_EQ(ReadFile(Install("Writer") / "z" / "z.txt"), "new z") << "files after the failed one are copied";
  EXPECT_EQ(m_progress->restart.load(), 1u);
  EXPECT_EQ(Version("Writer"), 7u);
  const fs::path holding = Download() / "Tmp" / "Writer";
  for (const std::string& entry : test::CabinetFixtures::Tree(holding)) {
    EXPECT_TRUE(fs::is_directory(holding / entry)) << entry << " left in the holding folder";
  }
  std::string src;
  CQUpdateUtilRegistry().ReadString("UpdateRemainSrc", src);
  EXPECT_EQ(src, holding.string() + "/");

  auto queued = PendingReplacements::List();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].target, (Install("Writer") / "m.txt").string());
  EXPECT_EQ(ReadFile(queued[0].source), "new m");
  EXPECT_EQ(queued[0].source.rfind(PendingReplacements::Folder(), 0), 0u) << queued[0].source;

  // the clean-up of the download folder leaves the queue alone
  applier.CleanDownloadFolder();
  EXPECT_EQ(ReadFile(queued[0].source), "new m");

  const std::string root = m_root.Path().string();
  test::ProcessResult listed = test::RunProcess(QRVCTL_PATH, {"--root", root, "pending", "list"});
  EXPECT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_EQ(listed.out, queued[0].source + "\t" + queued[0].target + "\n");

  // still blocked: the entry stays, and the message names it
  test::ProcessResult blocked = test::RunProcess(QRVCTL_PATH, {"--root", root, "pending", "run"});
  EXPECT_EQ(blocked.exitCode, 1);
  EXPECT_NE(blocked.err.find(queued[0].target), std::string::npos) << blocked.err;
  EXPECT_EQ(PendingReplacements::List().size(), 1u);

  fs::remove_all(Install("Writer") / "m.txt");
  test::ProcessResult done = test::RunProcess(QRVCTL_PATH, {"--root", root, "pending", "run"});
  EXPECT_EQ(done.exitCode, 0) << done.err;
  EXPECT_EQ(ReadFile(Install("Writer") / "m.txt"), "new m");
  EXPECT_TRUE(PendingReplacements::List().empty());
  EXPECT_FALSE(fs::exists(queued[0].source));
  EXPECT_EQ(test::RunProcess(QRVCTL_PATH, {"--root", root, "pending", "list"}).out, "");
}

}  // namespace
}  // namespace qrv
