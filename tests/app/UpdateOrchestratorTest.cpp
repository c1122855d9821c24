#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/CQUpdateUtilTime.h"
#include "app/ProductCheckList.h"
#include "app/StandByWindow.h"
#include "apply/CQUpdateTraceFile.h"
#include "platform/registry/RegistryTransaction.h"
#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/CabinetFixtures.h"
#include "tests/support/LoopbackPort.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

// A whole update machine (E2eRunFixture) served over the loopback HTTP
// server, with a process object in interactive mode.
class UpdateOrchestratorTest : public test::E2eRunFixture {
 protected:
  void SetUp() override {
    E2eRunFixture::SetUp();
    ASSERT_EQ(UseTransport(test::Transport::kHttp), "");
  }

  // Writer's cabinet with one byte of its packed content changed after signing.
  void ServeTamperedWriter() {
    const fs::path cab = ServeCabinet("writer.cab", {{"bin/writer.txt", "writer 7 tampered"}});
    std::string bytes = ReadFile(cab);
    const size_t at = bytes.find("tampered");
    ASSERT_NE(at, std::string::npos) << "the cabinet stores its files unpacked";
    bytes[at] = 'T';
    WriteFile(cab, bytes);
  }
};

// The end state of a whole run is E2eTransportTest's; here what each phase
// leaves for the next one.
TEST_F(UpdateOrchestratorTest, EachPhaseOfAnInteractiveRunLeavesWhatTheNextNeeds) {
  ServeTwoUpdates();

  ASSERT_TRUE(m_window->UpdatePrepare(0));
  EXPECT_EQ(m_window->Phase(), UpdatePhase::kPrepare);
  EXPECT_EQ(m_window->Products(), (std::vector<std::string>{"Calc=6.2", "Writer=7.0.1"}))
      << "the up-to-date product dropped";
  EXPECT_EQ(CQUpdateMgrEnv().GetLastUpdate(), 20110315u) << "an interactive query records no date";

  std::vector<std::string> products{"Calc", "Writer"};
  ASSERT_EQ(m_window->UpdateDownload(products), 1);
  EXPECT_EQ(m_window->Phase(), UpdatePhase::kDownload);
  EXPECT_EQ(Log("DOWNLOAD", "STATUS"), "SUCCESS");
  EXPECT_TRUE(fs::is_regular_file(Download() / "calc" / "calc.cab"));
  EXPECT_EQ(m_window->statuses, (std::vector<std::string>{"1:Calc", "1:Writer"}));
  EXPECT_NE(std::find(m_window->texts.begin(), m_window->texts.end(), "Downloading : writer.cab"),
            m_window->texts.end());

  m_window->UpdateWait();
  EXPECT_EQ(m_window->Phase(), UpdatePhase::kWait);
  EXPECT_EQ(m_window->UpdateCopyFile(), 1);
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(Backup("Writer"), 5u) << "kept until the commit";

  m_window->UpdateFinalize();
  EXPECT_EQ(m_window->Phase(), UpdatePhase::kFinalize);
  EXPECT_EQ(State(), 42u);
  EXPECT_EQ(Backup("Writer"), CQUpdateMgrEnv::kMissing) << "committed";

  m_window->UpdateFinish(0);
  EXPECT_EQ(m_window->Phase(), UpdatePhase::kFinish);
  EXPECT_EQ(State(), 0u);
  EXPECT_EQ(m_process->RestartRequired(), 0u);
  EXPECT_NE(ReadFile(CQUpdateTraceFile::Path()).find("-DlgMgr-UpdateCopyFile---3\n"), std::string::npos);
}

TEST_F(UpdateOrchestratorTest, ATamperedCabinetStopsTheDownloadAndChangesNothing) {
  ServeTwoUpdates();
  ServeTamperedWriter();

  ASSERT_TRUE(m_window->UpdatePrepare(0));
  std::vector<std::string> products{"Calc", "Writer"};
  EXPECT_EQ(m_window->UpdateDownload(products), 5);
  EXPECT_EQ(State(), 14u);
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{162});
  EXPECT_EQ(m_window->events.back(), "PrepareFinish1@14") << "the run falls back to the prepare phase";
  EXPECT_EQ(m_window->Phase(), UpdatePhase::kPrepare);
  EXPECT_EQ(m_window->Products(), (std::vector<std::string>{"Calc=6.2", "Writer=7.0.1"}));
  EXPECT_EQ(Version("Writer"), 5u);
  EXPECT_EQ(Version("Calc"), 5u);
  EXPECT_FALSE(fs::exists(Install("Writer") / "bin"));
}

TEST_F(UpdateOrchestratorTest, AServerThatIsDownIsSilentInPrepareAndReportedByTheDownload) {
  ServeTwoUpdates();
  test::LoopbackPort down;
  ASSERT_GT(down.Port(), 0) << down.Error();
  m_main.SetString("ServerPath", "http://127.0.0.1:" + std::to_string(down.Port()) + "/svc/AUpdate70.jsp");
  m_main.SetDword("UpdateState", 23);

  EXPECT_EQ(m_process->QueryUpdates(), 0);
  EXPECT_TRUE(m_window->UpdatePrepare(0)) << "the window decides what to show";
  EXPECT_TRUE(m_window->Products().empty());
  EXPECT_TRUE(m_messages->shown.empty());

  std::vector<std::string> products{"Writer"};
  EXPECT_EQ(m_window->UpdateDownload(products), 3);
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{142});
  EXPECT_EQ(State(), 23u) << "nothing began, nothing is recorded";
  EXPECT_EQ(Version("Writer"), 5u);
}

TEST_F(UpdateOrchestratorTest, WhatIsPendingFollowsLevelsAndTheUpdaterGoesFirst) {
  Installed("Writer", "Qorvane Writer");
  Installed("Calc", "Qorvane Calc");
  Installed("Draw", "Qorvane Draw");
  platform::RegistryKey draw;
  ASSERT_EQ(m_main.CreateSubKey("Draw", draw), platform::RegStatus::kOk);
  draw.DeleteValue("ProductVersion");

  // equal level dropped, one higher kept; no level offered for Draw
  Serve("qupdate_s.ini", "[VersionInfo]\nWriter=6.0\n[UpdateVersionInfo]\nWriter=6\nCalc=5\n");
  ASSERT_EQ(m_process->QueryUpdates(), 1);
  ASSERT_TRUE(m_window->OnPrepareFinish(1));
  EXPECT_EQ(m_window->Products(), std::vector<std::string>{"Writer=6.0"});

  // no version text: "-"; a product without a level counts as level 0
  Serve("qupdate_s.ini", "[UpdateVersionInfo]\nDraw=1\nCalc=-1\n");
  ASSERT_EQ(m_process->QueryUpdates(), 1);
  EXPECT_EQ(m_window->Products(), std::vector<std::string>{"Draw=-"});

  // nothing newer: nothing pending, nothing shown
  Serve("qupdate_s.ini", "[UpdateVersionInfo]\nWriter=5\nCalc=4\n");
  EXPECT_EQ(m_process->QueryUpdates(), 0);
  EXPECT_TRUE(m_window->Products().empty());
  EXPECT_TRUE(m_messages->shown.empty());

  // the updater first: only its records remain, the later of two
  Installed("QrvUpdateOld", "Qorvane Update");
  Installed("QrvUpdateNew", "Qorvane Update");
  Serve("qupdate_s.ini", "[UpdateVersionInfo]\nWriter=9\nQrvUpdateOld=6\nQrvUpdateNew=6\n");
  ASSERT_EQ(m_process->QueryUpdates(), 1);
  // installed products come in key-name order: New, then Old
  EXPECT_EQ(m_window->Products(), std::vector<std::string>{"QrvUpdateOld=-"});
  Serve("qupdate_s.ini", "[UpdateVersionInfo]\nWriter=9\nQrvUpdateNew=6\n");
  ASSERT_EQ(m_process->QueryUpdates(), 1);
  EXPECT_EQ(m_window->Products(), std::vector<std::string>{"QrvUpdateNew=-"});

  // an empty information file: said in an interactive run, not in an automatic one
  Serve("qupdate_s.ini", "");
  EXPECT_EQ(m_process->QueryUpdates(), 0);
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{157});
  m_process->SetAutoMode(1);
  EXPECT_EQ(m_process->QueryUpdates(), 0);
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{157});

  // an automatic query that finds something records the date
  Serve("qupdate_s.ini", "[UpdateVersionInfo]\nWriter=9\n");
  ASSERT_EQ(m_process->QueryUpdates(), 1);
  EXPECT_EQ(CQUpdateMgrEnv().GetLastUpdate(), CQUpdateUtilTime::TodayNumber());
}

TEST_F(UpdateOrchestratorTest, AFailedCopyRollsBackAndAFailedActionStillCommits) {
  ServeTwoUpdates();
  ASSERT_TRUE(m_window->UpdatePrepare(0));
  std::vector<std::string> products{"Calc", "Writer"};
  ASSERT_EQ(m_window->UpdateDownload(products), 1);

  // Writer lost its installation folder before the copy: Calc is applied,
  // Writer fails
  platform::RegistryKey writer;
  ASSERT_EQ(m_main.CreateSubKey("Writer", writer), platform::RegStatus::kOk);
  writer.SetString("ProductPath", "relative/writer/");
  m_process->SetRestartRequired(1);
  EXPECT_EQ(m_window->UpdateCopyFile(), 0);
  EXPECT_EQ(State(), 23u);
  EXPECT_EQ(m_window->events.back(), "CopyError@23");
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{153});
  EXPECT_EQ(Version("Calc"), 5u) << "rolled back";
  EXPECT_EQ(Backup("Calc"), CQUpdateMgrEnv::kMissing);
  EXPECT_EQ(m_process->RestartRequired(), 0u) << "the restart request is dropped";
  EXPECT_EQ(m_window->texts.back(), "Canceling :\u00A0");

  // an unknown registry action type fails the actions; the commit still runs
  WriteFile(Download() / "Calc.ini",
            "[Calc]\nCalcCOUNT=1\nCalc0FILE=calc\\calc.cab\nREGISTRYCOUNT=1\nREGISTRY0ROOT=2\nREGISTRY0KEY=SOFTWARE\\X\n"
            "REGISTRY0NAME=n\nREGISTRY0VALUE=v\nREGISTRY0TYPE=9\n");
  m_window->UpdateFinalize();
  EXPECT_EQ(m_window->events.back(), "FinalizeError@31");
  EXPECT_EQ(State(), 42u);
  EXPECT_EQ(m_messages->shown, (std::vector<uint32_t>{153, 155}));
  m_window->UpdateFinish(1);
  EXPECT_EQ(State(), 42u);
}

// Counts how often its activity text moves on.
class CountingStandBy : public StandByWindow {
 public:
  explicit CountingStandBy(int& advances) : m_advances(advances) {}
  void Advance() override { ++m_advances; }

 private:
  int& m_advances;
};

// Keeps the product key of each row; enough for filling the list.
class KeyList : public ProductCheckList {
 public:
  void SetCheckBoxStyle() override {}
  void InsertColumn(int32_t, const std::string&, int32_t) override {}
  void DeleteAllRows() override { keys.clear(); }
  void InsertRow(int32_t, const std::string&, const std::string&, const std::string&,
                 const std::string& product) override {
    keys.push_back(product);
  }
  int32_t RowCount() const override { return static_cast<int32_t>(keys.size()); }
  std::string RowProduct(int32_t row) const override { return keys[static_cast<size_t>(row)]; }
  uint32_t CheckState(int32_t) const override { return 1; }
  void SetCheckState(int32_t, uint32_t) override {}
  std::vector<std::string> keys;
};

TEST_F(UpdateOrchestratorTest, StandByAndUpdateContentAccompanyTheInteractiveList) {
  ServeTwoUpdates();
  Serve("qupdate_s.ini",
        ReadFile(m_root / "srv" / "qupdate_s.ini") + "[UPDATEINFOPATH]\nWriter=writer-news.txt\n");
  Serve("writer-news.txt", "what is new in Writer 7");
  int advances = 0;
  bool open = false;
  m_process->SetStandByFactory([&]() -> std::unique_ptr<StandByWindow> {
    open = true;
    return std::make_unique<CountingStandBy>(advances);
  });

  ASSERT_TRUE(m_window->UpdatePrepare(0));
  EXPECT_TRUE(open);
  EXPECT_EQ(advances, 1 + 3) << "once when shown, once per installed product examined";

  KeyList list;
  EXPECT_EQ(m_window->FillProductList(list), 1);
  EXPECT_EQ(list.keys, (std::vector<std::string>{"Calc", "Writer"}));
  EXPECT_EQ(ReadFile(Download() / "writer-news.txt"), "what is new in Writer 7");

  // an automatic run shows no stand-by window
  advances = 0;
  m_process->SetAutoMode(1);
  ASSERT_TRUE(m_window->UpdatePrepare(0));
  EXPECT_EQ(advances, 0);
}

TEST_F(UpdateOrchestratorTest, TransferErrorsAreReportedByCode) {
  ServeTwoUpdates();
  ASSERT_TRUE(m_window->UpdatePrepare(0));

  // the server cannot place a product: code 4
  m_http->SetProductLocation("Calc", "");
  std::vector<std::string> products{"Writer", "Calc"};
  EXPECT_EQ(m_window->UpdateDownload(products), 4);
  EXPECT_EQ(State(), 13u);
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{146});
  EXPECT_EQ(m_window->events.back(), "TransferError4@13");
  m_http->SetProductLocation("Calc", m_http->FilesUrl());

  // nothing counted to transfer: code 0, the general error
  Serve("qupdate_s.ini", "[VersionInfo]\nWriter=7\n[UpdateVersionInfo]\nWriter=7\n");
  ASSERT_TRUE(m_window->UpdatePrepare(0));
  std::vector<std::string> writer{"Writer"};
  EXPECT_EQ(m_window->UpdateDownload(writer), 0);
  EXPECT_EQ(m_messages->shown, (std::vector<uint32_t>{146, 154}));
}

TEST_F(UpdateOrchestratorTest, AnAutomaticRunEndsCleanlyWhenItsDownloadIsRefused) {
  ServeTwoUpdates();
  ServeTamperedWriter();
  m_process->SetAutoMode(1);
  m_main.SetDword("UpdateState", 12);

  ASSERT_TRUE(m_window->UpdatePrepare(0));
  const auto infoRequests = [this] {
    size_t n = 0;
    for (const auto& r : m_http->Requests()) n += r.path.ends_with("qupdate_s.ini") ? 1 : 0;
    return n;
  };
  const size_t asked = infoRequests();
  ASSERT_GT(asked, 0u);
  std::vector<std::string> products{"Calc", "Writer"};
  EXPECT_EQ(m_window->UpdateDownload(products), 5);
  EXPECT_EQ(m_ended, std::vector<int>{1});
  EXPECT_EQ(infoRequests(), asked) << "the server is not asked again";
  EXPECT_EQ(State(), 0u) << "the next automatic start begins afresh";
  EXPECT_EQ(test::CabinetFixtures::Tree(Download()), (std::vector<std::string>{"qupdate_s.ini", "quplog.ini"}));
  EXPECT_TRUE(m_messages->shown.empty()) << "nobody watches an automatic run";
  EXPECT_EQ(Version("Writer"), 5u);
}

// The list's limit counts pending products, not installed ones; and the
// version column is never blank for a program that is not a PE image.
TEST_F(UpdateOrchestratorTest, PendingProductsAfterManyInstalledOnesAreOfferedWithTheirVersions) {
  std::string levels = "[UpdateVersionInfo]\n";
  platform::RegistryTransaction batch;  // one durable write instead of 1,300
  ASSERT_EQ(batch.Begin(platform::kRootLocalMachine), platform::RegStatus::kOk);
  for (int i = 0; i < 260; ++i) {
    char key[8];
    std::snprintf(key, sizeof key, "P%03d", i);
    Installed(key, std::string("Qorvane ") + key);
    levels += std::string(key) + "=" + (i >= 257 ? "9" : "1") + "\n";
  }
  ASSERT_EQ(batch.Commit(), platform::RegStatus::kOk);
  platform::RegistryKey record;
  ASSERT_EQ(m_main.OpenSubKey("P258", platform::RegAccess::kAll, record), platform::RegStatus::kOk);
  record.SetString("DisplayVersion", "2.4.1");
  Serve("qupdate_s.ini", "[VersionInfo]\nP257=9.0\nP258=9.0\nP259=9.0\n" + levels);

  ASSERT_TRUE(m_window->UpdatePrepare(0));
  std::vector<std::string> shown;
  for (const tagUPDATETYPE& r : *m_process->GetUpdateTypes()) shown.push_back(r.product + ":" + r.version);
  EXPECT_EQ(shown, (std::vector<std::string>{"P257:level 5", "P258:2.4.1", "P259:level 5"}));
}

}  // namespace
}  // namespace qrv
