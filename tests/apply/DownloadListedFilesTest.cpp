#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/MessageService.h"
#include "apply/ListedFilesDownload.h"
#include "apply/CQUpdateApplier.h"
#include "tests/apply/UpdateRunFixture.h"
#include "tests/support/CabinetFixtures.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/RecordingMessages.h"
#include "transfer/CQUpdateDownloadMgr.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

// Downloads from the loopback HTTP server: product files and signed
// cabinets served from srv/, the fixtures' test root trusted.
class DownloadListedFilesTest : public test::UpdateRunFixture {
 protected:
  void SetUp() override {
    UpdateRunFixture::SetUp();
    ASSERT_GT(m_server.Port(), 0) << m_server.Error();
    m_main.SetString("ServerPath", m_server.ServiceUrl());
    platform::MessageService::Install(m_messages);
  }
  void TearDown() override {
    platform::MessageService::Install(nullptr);
    UpdateRunFixture::TearDown();
  }

  int Fetch(std::vector<std::string>& products) {
    CQUpdateDownloadMgr manager(tagSERVERINFO{kServerTypeHttp, 0, m_server.ServiceUrl(), "", ""});
    m_manager = &manager;
    int result = ToCode(ListedFilesDownload(manager.Transport()).DownloadUpdateFiles(manager, products));
    m_manager = nullptr;
    return result;
  }
  bool Requested(const std::string& needle) const {
    for (const auto& r : m_server.Requests()) {
      if (r.path.find(needle) != std::string::npos) return true;
    }
    return false;
  }

  test::HttpTestServer m_server{m_root / "srv"};
  std::shared_ptr<test::RecordingMessages> m_messages = std::make_shared<test::RecordingMessages>();
  CQUpdateDownloadMgr* m_manager = nullptr;
};

TEST_F(DownloadListedFilesTest, TwoFeaturesAreFetchedAppliedCommittedRolledBackAndCleaned) {
  AddProduct("Writer", {"WriterSpell"});
  ServeCabinet("writer.cab", {{"bin/writer.txt", "writer 7"}, {"readme.txt", "read me 7"}});
  ServeCabinet("spell/spell.cab", {{"dict/en.dic", "words 7"}});
  Serve("Writer.ini",
        "[Writer]\nWriterCOUNT=1\nWriter0FILE=writer.cab\nWriterSpellCOUNT=1\nWriterSpell0FILE=spell\\spell.cab\n");
  WriteFile(Download() / "qupdate_s.ini", "[UpdateVersionInfo]\nWriter=7\n");
  WriteFile(Download() / "quplog.ini", "[PRODUCTLIST]\nCOUNT=9\n");
  WriteFile(Download() / "quplog.ini20110315", "older still");
  WriteFile(Download() / "Writer.ini", "[Writer]\nold=1\n");

  std::vector<std::string> products{"Writer"};
  ASSERT_EQ(Fetch(products), 1);
  EXPECT_EQ(products, std::vector<std::string>{"Writer"});
  // earlier files moved aside under LastUpdate, replacing the older copy
  EXPECT_EQ(ReadFile(Download() / "quplog.ini20110315"), "[PRODUCTLIST]\nCOUNT=9\n");
  EXPECT_EQ(ReadFile(Download() / "Writer.ini20110315"), "[Writer]\nold=1\n");

  EXPECT_EQ(Log("PRODUCTLIST", "COUNT"), "1");
  EXPECT_EQ(Log("Writer", "ERRCOUNT"), "0");
  EXPECT_EQ(Log("WriterSpell", "FILE0"), "spell\\spell.cab");
  EXPECT_EQ(Log("WriterSpell", "FILE0TEMPPATH"), Download().string() + "/spell/spell.cab");

  CQUpdateApplier applier;
  ASSERT_EQ(applier.ApplyUpdates(), CopyResult::kDone);
  EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "writer.txt"), "writer 7");
  EXPECT_EQ(ReadFile(Install("Writer") / "readme.txt"), "read me 7");
  EXPECT_EQ(ReadFile(Install("Writer") / "dict" / "en.dic"), "words 7");
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(Backup("Writer"), 5u) << "later recordings in the run must not overwrite the backup";
  EXPECT_EQ(m_progress->restart.load(), 0u) << "nothing was queued";

  EXPECT_EQ(applier.Rollback(1), 1);
  EXPECT_EQ(Version("Writer"), 5u);
  EXPECT_EQ(Backup("Writer"), CQUpdateMgrEnv::kMissing);
  EXPECT_EQ(ReadFile(Install("Writer") / "readme.txt"), "read me 7") << "files stay";

  CQUpdateApplier again;
  ASSERT_EQ(again.ApplyUpdates(), CopyResult::kDone);
  EXPECT_EQ(again.Commit(), 1);
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(Backup("Writer"), CQUpdateMgrEnv::kMissing);

  EXPECT_EQ(again.CleanDownloadFolder(), 1);
  EXPECT_EQ(test::CabinetFixtures::Tree(Download()), (std::vector<std::string>{"qupdate_s.ini", "quplog.ini"}));
}

TEST_F(DownloadListedFilesTest, AFailedFileOfTheSecondProductStopsWithItsCounts) {
  AddProduct("Writer");
  AddProduct("Calc");
  ServeCabinet("writer.cab", {{"a.txt", "a"}});
  Serve("Writer.ini", "[Writer]\nWriterCOUNT=1\nWriter0FILE=writer.cab\n");
  Serve("Calc.ini", "[Calc]\nCalcCOUNT=2\nCalc0FILE=missing.cab\nCalc1FILE=never.cab\n");
  std::vector<std::string> products{"Writer", "Calc"};
  EXPECT_EQ(Fetch(products), 6);
  EXPECT_EQ(Log("Calc", "ERROR0"), "missing.cab");
  EXPECT_EQ(Log("Calc", "COUNT"), "0");
  EXPECT_EQ(Log("Calc", "ERRCOUNT"), "1");
  EXPECT_FALSE(Requested("never.cab")) << "the run stops at the first failed file";
  EXPECT_EQ(Log("PRODUCTLIST", "PRODUCT1"), "Calc");
  EXPECT_EQ(Log("PRODUCTLIST", "COUNT"), "2");
  EXPECT_EQ(Log("Writer", "COUNT"), "1");
}

TEST_F(DownloadListedFilesTest, ARefusedSignatureTakesTheNextIndexAndStopsTheRun) {
  AddProduct("Writer", {"WriterSpell"});
  AddProduct("Calc");
  ServeCabinet("good.cab", {{"a.txt", "a"}});
  fs::copy_file(m_fixtures / "other.cab", m_root / "srv" / "bad.cab");
  Serve("Writer.ini",
        "[Writer]\nWriterCOUNT=3\nWriter0FILE=good.cab\nWriter1FILE=bad.cab\nWriter2FILE=later.cab\n"
        "WriterSpellCOUNT=1\nWriterSpell0FILE=good.cab\n");
  Serve("Calc.ini", "[Calc]\nCalcCOUNT=0\n");
  std::vector<std::string> products{"Writer", "Calc"};
  EXPECT_EQ(Fetch(products), 5);
  EXPECT_EQ(Log("Writer", "FILE0"), "good.cab");
  EXPECT_EQ(Log("Writer", "DIGITALSIGNERROR1"), "bad.cab");
  EXPECT_EQ(Log("Writer", "DIGITALSIGNERROR1TEMPPATH"), Download().string() + "/bad.cab");
  EXPECT_EQ(Log("Writer", "FILE1"), "<none>");
  EXPECT_EQ(Log("Writer", "COUNT"), "2") << "a refused file counts";
  EXPECT_EQ(Log("Writer", "ERRCOUNT"), "1");
  EXPECT_EQ(Log("WriterSpell", "COUNT"), "<none>") << "no later feature is begun";
  EXPECT_FALSE(Requested("later.cab"));
  EXPECT_FALSE(Requested("Calc.ini"));
  EXPECT_EQ(Log("PRODUCTLIST", "COUNT"), "1");

  // what was refused is never applied: its index holds no FILE entry, and
  // the empty path it reads as is no cabinet, which fails the applying
  CQUpdateApplier applier;
  EXPECT_EQ(applier.ApplyUpdates(), CopyResult::kFailed);
  EXPECT_EQ(test::CabinetFixtures::Tree(Install("Writer")), std::vector<std::string>{"a.txt"});
}

TEST_F(DownloadListedFilesTest, MissingProductFilesDropProductsAndPreparationFailureEndsAtOnce) {
  AddProduct("Ghost");
  AddProduct("Writer");
  ServeCabinet("w.cab", {{"a.txt", "a"}});
  Serve("Writer.ini", "[Writer]\nWriterCOUNT=1\nWriter0FILE=w.cab\n");
  std::vector<std::string> products{"Ghost", "Writer", "Nobody"};
  EXPECT_EQ(Fetch(products), 1);
  EXPECT_EQ(products, std::vector<std::string>{"Writer"});
  EXPECT_EQ(Log("PRODUCTLIST", "PRODUCT0"), "Writer") << "the next product takes the index";
  EXPECT_EQ(Log("PRODUCTLIST", "PRODUCT1"), "<none>");
  EXPECT_EQ(Log("PRODUCTLIST", "COUNT"), "1");

  // a product whose preparation fails ends the run with 4, writing no count
  m_server.SetProductLocation("Broken", "");
  std::vector<std::string> broken{"Writer", "Broken"};
  EXPECT_EQ(Fetch(broken), 4);
  EXPECT_EQ(Log("PRODUCTLIST", "COUNT"), "<none>");
  EXPECT_EQ(Log("PRODUCTLIST", "PRODUCT0"), "Writer");
}

TEST_F(DownloadListedFilesTest, NamesLeavingTheDownloadFolderAreNeverFetched) {
  AddProduct("Writer");
  for (const std::string& name : std::vector<std::string>{"..\\..\\x.cab", "/tmp/x.cab", "sub/../../x.cab"}) {
    SCOPED_TRACE(name);
    Serve("Writer.ini", "[Writer]\nWriterCOUNT=1\nWriter0FILE=" + name + "\n");
    std::vector<std::string> products{"Writer"};
    EXPECT_EQ(Fetch(products), 6);
    EXPECT_EQ(Log("Writer", "ERROR0"), name);
    EXPECT_EQ(Log("Writer", "COUNT"), "0");
    EXPECT_EQ(Log("Writer", "ERRCOUNT"), "1");
  }
  EXPECT_FALSE(Requested("x.cab"));
  EXPECT_FALSE(fs::exists(m_root / "x.cab"));
  EXPECT_FALSE(fs::exists(m_root / "dl" / "x.cab"));
}

// DownloadPath is an administrator's text: doubled slashes name the same
// folder to the system, so the cabinets logged under it must apply, and a
// logged path the system resolves elsewhere must still be refused.
TEST_F(DownloadListedFilesTest, ADownloadPathWithDoubledSlashesAppliesAndStillRefusesCabinetsOutside) {
  AddProduct("Writer");
  Serve("Writer.ini", "[Writer]\nWriterCOUNT=1\nWriter0FILE=sub\\w.cab\n");
  WriteFile(Download() / "qupdate_s.ini", "[UpdateVersionInfo]\nWriter=7\n");
  const std::string root = m_root.Path().string();
  int round = 0;
  for (const std::string& setting : std::vector<std::string>{root + "//dl", "/" + root + "//dl//"}) {
    SCOPED_TRACE(setting);
    m_main.SetString("DownloadPath", setting);
    const std::string text = "writer " + std::to_string(++round);
    ServeCabinet("sub/w.cab", {{"w.txt", text}});
    std::vector<std::string> products{"Writer"};
    ASSERT_EQ(Fetch(products), 1);
    EXPECT_EQ(Log("Writer", "FILE0TEMPPATH"), UpdateFiles::DownloadFolder() + "sub/w.cab");
    CQUpdateApplier applier;
    EXPECT_EQ(applier.ApplyUpdates(), CopyResult::kDone) << applier.FailureReason();
    EXPECT_EQ(ReadFile(Install("Writer") / "w.txt"), text);
    EXPECT_EQ(Version("Writer"), 7u);
    EXPECT_EQ(applier.Rollback(1), 1);
  }

  // a copy beside the folder, reached by "..", and through a link planted
  // in the folder: plant/.. is the link target's parent, not the folder
  fs::create_directories(m_root / "elsewhere" / "a");
  fs::copy_file(Download() / "sub" / "w.cab", m_root / "dl" / "w.cab");
  fs::copy_file(Download() / "sub" / "w.cab", m_root / "elsewhere" / "w.cab");
  fs::create_directory_symlink(m_root / "elsewhere" / "a", Download() / "plant");
  for (const std::string& outside :
       std::vector<std::string>{UpdateFiles::DownloadFolder() + "../w.cab", UpdateFiles::DownloadFolder() + "plant/../w.cab"}) {
    SCOPED_TRACE(outside);
    WriteFile(Download() / "quplog.ini",
              "[PRODUCTLIST]\nCOUNT=1\nPRODUCT0=Writer\n[Writer]\nCOUNT=1\nFILE0=w\nFILE0TEMPPATH=" + outside + "\n");
    CQUpdateApplier applier;
    EXPECT_EQ(applier.ApplyUpdates(), CopyResult::kFailed);
    EXPECT_NE(applier.FailureReason().find("is not inside the download folder"), std::string::npos)
        << applier.FailureReason();
    EXPECT_EQ(Version("Writer"), 5u);
  }
}

TEST_F(DownloadListedFilesTest, AFolderThatCannotBeMadeAndAUserCancel) {
  AddProduct("Writer");
  AddProduct("Calc");
  ServeCabinet("sub/w.cab", {{"a.txt", "a"}});
  ServeCabinet("c.cab", {{"c.txt", "c"}});
  Serve("Writer.ini", "[Writer]\nWriterCOUNT=1\nWriter0FILE=sub\\w.cab\n");
  Serve("Calc.ini", "[Calc]\nCalcCOUNT=1\nCalc0FILE=c.cab\n");
  WriteFile(Download() / "sub", "a file where a folder must go");
  std::vector<std::string> products{"Writer", "Calc"};
  EXPECT_EQ(Fetch(products), 0);
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{140});
  EXPECT_EQ(Log("PRODUCTLIST", "COUNT"), "<none>");

  // the user cancels while the first product downloads: 2, Calc never begun
  fs::remove(Download() / "sub");
  m_progress->onText = [this](platform::ProgressKind, const std::string& text) {
    if (text == "sub\\w.cab" && m_manager != nullptr) m_manager->Cancel();
  };
  std::vector<std::string> again{"Writer", "Calc"};
  EXPECT_EQ(Fetch(again), 2);
  EXPECT_EQ(Log("Writer", "FILE0"), "sub\\w.cab");
  EXPECT_EQ(Log("Writer", "COUNT"), "1");
  EXPECT_EQ(Log("PRODUCTLIST", "COUNT"), "1");
  EXPECT_FALSE(Requested("Calc.ini"));
}

}  // namespace
}  // namespace qrv
