// Whole update runs through the engine, as the windows drive it, over each
// way of reaching the update server.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/CQUpdateUtilTime.h"
#include "apply/UpdateFiles.h"
#include "apply/UpdateLog.h"
#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/CabinetFixtures.h"
#include "tests/support/SkipUnlessServer.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::Transport;

const std::string kWriterKey = "SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer";
const std::vector<std::string> kCleanDownload{"qupdate_s.ini", "quplog.ini"};

class E2eRunTest : public test::E2eRunFixture {
 protected:
  // Writer 7 and Calc 6 in place and committed, the actions done, the date
  // recorded and the download folder cleaned.
  void ExpectCommitted() {
    EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "writer.txt"), "writer 7");
    EXPECT_EQ(ReadFile(Install("Calc") / "calc.txt"), "calc 6");
    EXPECT_EQ(Version("Writer"), 7u);
    EXPECT_EQ(Version("Calc"), 6u);
    EXPECT_EQ(Backup("Writer"), CQUpdateMgrEnv::kMissing);
    EXPECT_EQ(Backup("Calc"), CQUpdateMgrEnv::kMissing);
    EXPECT_EQ(RegistryText(kWriterKey, "Channel"), "stable-7");
    const std::string shortcut = ReadFile(Desktop() / "Writer.desktop");
    EXPECT_NE(shortcut.find((Install("Writer") / "bin" / "Writer.exe").string()), std::string::npos) << shortcut;
    EXPECT_EQ(CQUpdateMgrEnv().GetLastUpdate(), CQUpdateUtilTime::TodayNumber());
    EXPECT_EQ(test::CabinetFixtures::Tree(Download()), kCleanDownload);
  }
};

class E2eTransportTest : public E2eRunTest, public ::testing::WithParamInterface<Transport> {};

TEST_P(E2eTransportTest, AnInteractiveRunUpdatesCommitsActsAndCleansUp) {
  const std::string why = UseTransport(GetParam());
  QRV_SKIP_UNLESS_SERVER(why.empty(), why);
  ServeTwoUpdates();

  ASSERT_TRUE(RunAll({"Calc", "Writer"}));
  ExpectCommitted();
  EXPECT_EQ(Version("Viewer"), 5u) << "up to date, left alone";
  EXPECT_EQ(State(), 0u);
  EXPECT_EQ(Log("DOWNLOAD", "STATUS"), "SUCCESS");
  ASSERT_EQ(UpdateLog::ProductCount(), 2u);
  EXPECT_EQ(UpdateLog::FileEntry("Calc", 0), "calc\\calc.cab") << "a cabinet in a sub-folder keeps its way";
  EXPECT_EQ(m_window->events, (std::vector<std::string>{"PrepareFinish1@0", "TransferBegin@11", "TransferFinish@12",
                                                         "CopyBegin@21", "CopyFinish@22"}));
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{161}) << "only the copy-done notice";
}

INSTANTIATE_TEST_SUITE_P(Transports, E2eTransportTest,
                         ::testing::Values(Transport::kHttp, Transport::kFtp, Transport::kFolder, Transport::kSmb),
                         [](const ::testing::TestParamInfo<Transport>& p) { return test::TransportName(p.param); });

TEST_F(E2eRunTest, CancellingTheDownloadLeavesLevelsAndFilesAlone) {
  ASSERT_EQ(UseTransport(Transport::kHttp), "");
  ServeTwoUpdates();
  m_window->onText = [this](platform::ProgressKind kind, std::string_view) {
    if (kind == platform::ProgressKind::kDownloading) m_window->OnFileTransferCancel();
  };

  ASSERT_TRUE(m_window->UpdatePrepare(0));
  std::vector<std::string> products{"Calc", "Writer"};
  EXPECT_EQ(m_window->UpdateDownload(products), 2);
  EXPECT_EQ(State(), 13u);
  EXPECT_EQ(m_window->Phase(), UpdatePhase::kPrepare) << "back to choosing";
  EXPECT_EQ(m_window->events.back(), "PrepareFinish1@13");
  EXPECT_TRUE(m_messages->shown.empty()) << "a cancel is not an error";
  EXPECT_EQ(Version("Writer"), 5u);
  EXPECT_EQ(Version("Calc"), 5u);
  EXPECT_EQ(Backup("Writer"), CQUpdateMgrEnv::kMissing);
  EXPECT_FALSE(fs::exists(Install("Writer") / "bin"));
  EXPECT_EQ(RegistryText(kWriterKey, "Channel"), std::nullopt);

  // the same run, not cancelled this time, goes through
  m_window->onText = nullptr;
  m_window->events.clear();
  ASSERT_TRUE(RunAll({"Calc", "Writer"}));
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(State(), 0u);
}

// An automatic start finds a run that an earlier process left at a state
// code and carries it on with what the engine offers: waiting for the user
// and then copying (12), rolling the interrupted copy back first (21), or
// going straight to the finalize phase (22, 31, 41).
class E2eResumeTest : public E2eRunTest {
 protected:
  void SetUp() override {
    E2eRunFixture::SetUp();
    ASSERT_EQ(UseTransport(Transport::kHttp), "");
    ServeTwoUpdates();
  }
  // The first process: prepare and download (state 12), and copy when asked.
  void FirstProcess(bool copy) {
    ASSERT_TRUE(m_window->UpdatePrepare(0));
    std::vector<std::string> products{"Calc", "Writer"};
    ASSERT_EQ(m_window->UpdateDownload(products), 1);
    if (copy) {
      ASSERT_EQ(m_window->UpdateCopyFile(), 1);
    }
  }
};

TEST_F(E2eResumeTest, FromADownloadedRunTheNextStartWaitsThenCopies) {
  FirstProcess(false);
  ASSERT_EQ(State(), 12u);
  NewProcess(1);

  m_window->UpdateWait();
  EXPECT_EQ(m_window->Phase(), UpdatePhase::kWait);
  EXPECT_EQ(Version("Writer"), 5u) << "nothing is copied before the user says so";
  ASSERT_EQ(m_window->UpdateCopyFile(), 1);
  m_window->UpdateFinalize();
  EXPECT_EQ(State(), 42u);
  m_window->UpdateFinish(0);
  EXPECT_EQ(State(), 0u);
  ExpectCommitted();
  EXPECT_EQ(m_window->events, (std::vector<std::string>{"CopyBegin@21", "CopyFinish@22"}));
  EXPECT_TRUE(m_ended.empty());
}

TEST_F(E2eResumeTest, FromAnInterruptedCopyTheNextStartRollsBackBeforeCopyingAgain) {
  FirstProcess(true);
  ASSERT_EQ(Version("Writer"), 7u);
  // the process died in the middle of the copy
  m_main.SetDword("UpdateState", 21);
  NewProcess(1);

  m_process->RollbackCopy(0);
  EXPECT_EQ(Version("Writer"), 5u) << "the level before the copy is back";
  EXPECT_EQ(Version("Calc"), 5u);
  EXPECT_EQ(Backup("Writer"), CQUpdateMgrEnv::kMissing);
  EXPECT_EQ(Log("DOWNLOAD", "STATUS"), "SUCCESS") << "the downloaded run is kept for the next copy";

  m_window->UpdateWait();
  ASSERT_EQ(m_window->UpdateCopyFile(), 1) << "the downloaded files are still there to copy";
  m_window->UpdateFinalize();
  m_window->UpdateFinish(0);
  EXPECT_EQ(State(), 0u);
  ExpectCommitted();
}

TEST_F(E2eResumeTest, FromACopiedRunTheNextStartFinalizes) {
  for (const uint32_t state : {22u, 31u, 41u}) {
    SCOPED_TRACE("state " + std::to_string(state));
    NewProcess(0);
    CQUpdateMgrEnv().SetLastUpdate(20110315);
    FirstProcess(true);
    ASSERT_EQ(Backup("Writer"), 5u);
    m_main.SetDword("UpdateState", state);
    NewProcess(1);
    m_messages->shown.clear();

    m_window->UpdateFinalize();
    EXPECT_EQ(m_window->Phase(), UpdatePhase::kFinalize);
    EXPECT_EQ(State(), 42u);
    m_window->UpdateFinish(0);
    EXPECT_EQ(State(), 0u);
    ExpectCommitted();
    EXPECT_TRUE(m_messages->shown.empty()) << "nobody watches an automatic finalize";

    // the next round starts from level 5 again
    for (const char* product : {"Writer", "Calc"}) {
      platform::RegistryKey key;
      ASSERT_EQ(m_main.CreateSubKey(product, key), platform::RegStatus::kOk);
      key.SetDword("ProductVersion", 5);
    }
  }
}

}  // namespace
}  // namespace qrv
