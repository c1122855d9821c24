// Ctrl-C while the console copies an update: however short the cabinets,
// the run ends as a cancelled copy (levels put back, state 23, exit 130),
// never as a finished update.

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app/console/ConsoleDlgMgr.h"
#include "tests/e2e/E2eRunFixture.h"

namespace qrv {
namespace {

// Presses Ctrl-C (sets the flag the signal handler sets) at a chosen
// moment of the copy.
class InterruptedConsole : public ConsoleDlgMgr {
 public:
  enum class When { kWhileTheLastProductIsCopied, kAfterTheCopy };
  InterruptedConsole(When when, std::FILE* out) : ConsoleDlgMgr(YesOptions(), out, nullptr), m_when(when) {}

  void SetProgressText(platform::ProgressKind kind, std::string_view file, uint32_t value) override {
    if (m_when == When::kWhileTheLastProductIsCopied && kind == platform::ProgressKind::kCopying && file == "Writer") Press();
    ConsoleDlgMgr::SetProgressText(kind, file, value);
  }
  void OnFileCopyFinish() override {
    if (m_when == When::kAfterTheCopy) Press();
    ConsoleDlgMgr::OnFileCopyFinish();
  }

 private:
  static Options YesOptions() {
    Options options;
    options.assumeYes = true;
    return options;
  }
  static void Press() { ConsoleDlgMgr::Interrupted().store(true); }
  When m_when;
};

class ConsoleInterruptTest : public test::E2eRunFixture,
                             public ::testing::WithParamInterface<InterruptedConsole::When> {
 protected:
  void TearDown() override {
    ConsoleDlgMgr::Interrupted().store(false);
    if (m_out != nullptr) std::fclose(m_out);
    E2eRunFixture::TearDown();
  }
  std::FILE* m_out = std::tmpfile();
};

TEST_P(ConsoleInterruptTest, EndsAsACancelledCopyWithTheLevelsPutBack) {
  ASSERT_EQ(UseTransport(test::Transport::kHttp), "");
  ServeTwoUpdates();
  ASSERT_NE(m_out, nullptr);
  m_process->SetDlgMgr(std::make_unique<InterruptedConsole>(GetParam(), m_out));
  m_window = nullptr;

  EXPECT_EQ(m_process->DlgMgr()->RunDialog(), ConsoleDlgMgr::kExitInterrupted);
  EXPECT_EQ(State(), 23u);
  EXPECT_EQ(Version("Calc"), 5u);
  EXPECT_EQ(Version("Writer"), 5u);
  EXPECT_EQ(Backup("Writer"), CQUpdateMgrEnv::kMissing);
  EXPECT_EQ(Backup("Calc"), CQUpdateMgrEnv::kMissing);
  EXPECT_EQ(RegistryText("SOFTWARE\\QRV\\Shared\\QrvUpdate\\Writer", "Channel"), std::nullopt) << "not finalised";
}

INSTANTIATE_TEST_SUITE_P(Moments, ConsoleInterruptTest,
                         ::testing::Values(InterruptedConsole::When::kWhileTheLastProductIsCopied,
                                           InterruptedConsole::When::kAfterTheCopy),
                         [](const ::testing::TestParamInfo<InterruptedConsole::When>& p) {
                           return p.param == InterruptedConsole::When::kAfterTheCopy ? std::string("AfterTheCopy")
                                                                                     : std::string("DuringTheCopy");
                         });

}  // namespace
}  // namespace qrv
