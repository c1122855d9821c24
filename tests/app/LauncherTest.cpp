// The launcher of the process object: which window runs in which mode, the
// schedule's word through the window, and the refusal of old platforms.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/CQUpdateBaseProcess.h"
#include "app/CQUpdateUtilTime.h"
#include "apply/LogOnEntry.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/MessageService.h"
#include "platform/registry/RegistryKey.h"
#include "platform/system/PlatformVersion.h"
#include "res/CQUpdateStrings.h"
#include "res/StringIds.h"
#include "tests/support/RecordingMessages.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/ScopedEnv.h"

namespace qrv {
namespace {

using platform::RegistryKey;
using platform::RegStatus;
using Outcome = CQUpdateBaseProcess::RunOutcome;

constexpr const char* kHomePage = "https://www.maker.example/";
constexpr int32_t kRunResult = 7;

// A window of one mode that keeps a log of what the launcher did with it
// ("made 1", "schedule 1" with the due it was given, "run 0", "deleted 1")
// and answers the schedule as the windows of the modes do: the automatic
// one with due, the interactive one always yes.
class ModeWindow : public CQUpdateDlgMgr {
 public:
  ModeWindow(uint32_t mode, std::vector<std::string>& log) : m_mode(mode), m_log(log) {
    m_log.push_back("made " + std::to_string(mode));
  }
  ~ModeWindow() override { m_log.push_back("deleted " + std::to_string(m_mode)); }
  int32_t RunDialog() override {
    m_log.push_back("run " + std::to_string(m_mode));
    return kRunResult;
  }
  bool CheckSchedule(int32_t due) override {
    m_log.push_back("schedule " + std::to_string(due));
    return m_mode == 0 || due != 0;
  }
  uint32_t Mode() const { return m_mode; }

 private:
  uint32_t m_mode;
  std::vector<std::string>& m_log;
};

class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, m_main),
              RegStatus::kOk);
    platform::MessageService::Install(m_messages);
    // Noon of 15 June 2024, local time.
    std::tm tm{};
    tm.tm_year = 124;
    tm.tm_mon = 5;
    tm.tm_mday = 15;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    CQUpdateUtilTime::SetNowForTesting(mktime(&tm));
  }
  void TearDown() override {
    CQUpdateUtilTime::SetNowForTesting(std::nullopt);
    platform::PlatformVersion::SetForTesting(0);
    platform::MessageService::Install(nullptr);
  }

  // Runs the launcher in mode with ModeWindow windows; the process object
  // is kept (m_process) for the checks.
  int32_t Run(uint32_t mode) {
    m_process.reset();
    m_log.clear();
    m_process = std::make_unique<CQUpdateBaseProcess>();
    m_process->SetHomePage(kHomePage);
    m_process->SetWindowFactory(
        [this](uint32_t windowMode) { return std::make_unique<ModeWindow>(windowMode, m_log); });
    return m_process->Run(mode);
  }
  uint32_t Setting(const char* name) {
    platform::RegValue value;
    return m_main.Query(name, value) == RegStatus::kOk ? value.AsDword().value_or(0xFFFFFFFEu) : 0xFFFFFFFFu;
  }
  // Sets a DWORD setting, or removes it for 0xFFFFFFFF.
  void Set(const char* name, uint32_t value) {
    if (value == 0xFFFFFFFFu) {
      m_main.DeleteValue(name);
    } else {
      m_main.SetDword(name, value);
    }
  }
  void Log(const std::vector<std::string>& expected) const { EXPECT_EQ(m_log, expected); }

  test::SandboxRoot m_root;
  test::ScopedEnv m_zone{"TZ", "UTC0"};
  RegistryKey m_main;
  std::shared_ptr<test::RecordingMessages> m_messages = std::make_shared<test::RecordingMessages>();
  std::vector<std::string> m_log;
  std::unique_ptr<CQUpdateBaseProcess> m_process;
};

TEST_F(LauncherTest, TheAutomaticRunGoesOnlyWhenTheScheduleSaysSo) {
  struct Case {
    const char* why;
    uint32_t automatic, term, lastUpdate, state;
    bool runs;
  };
  constexpr uint32_t kNone = 0xFFFFFFFFu;
  const Case cases[] = {
      {"switched off, nothing pending", 0, 1, kNone, 0, false},
      {"switched off, a copy was interrupted", 0, 1, 20240101, 21, false},
      {"switched off, waiting to copy", 0, 2, kNone, 12, false},
      {"switch missing, no state: at once", kNone, 2, 20240615, kNone, true},
      {"every 30 days, 29 days back", 1, 2, 20240517, 0, false},
      {"every 30 days, 30 days back", 1, 2, 20240516, 0, true},
      {"no period", 1, 0, 20200101, 0, false},
      {"an unknown period", 1, 5, 20200101, 0, false},
      {"never checked", 1, 0, kNone, 0, true},
      {"an unfinished run", 1, 2, 20240615, 31, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Set("Auto", c.automatic);
    Set("Term", c.term);
    Set("LastUpdate", c.lastUpdate);
    Set("UpdateState", c.state);
    const int32_t result = Run(CQUpdateBaseProcess::kModeAutomatic);
    EXPECT_EQ(result, c.runs ? kRunResult : 0);
    EXPECT_EQ(m_process->LastRunOutcome(), c.runs ? Outcome::kRan : Outcome::kNotDue);
    if (c.runs) {
      Log({"made 1", "schedule 1", "run 1"});
    } else {
      Log({"made 1", "schedule 0"});
    }
    EXPECT_EQ(Setting("LastUpdate"), c.lastUpdate) << "the launcher records no check of its own";
    m_process.reset();
  }
  EXPECT_TRUE(m_messages->shown.empty());

  // A negative period is stored back as 0, and is then no period.
  Set("Auto", 1);
  Set("Term", 0xFFFFFFF0u);
  Set("LastUpdate", 20200101);
  Set("UpdateState", 0);
  EXPECT_EQ(Run(CQUpdateBaseProcess::kModeAutomatic), 0);
  EXPECT_EQ(Setting("Term"), 0u);

  // The interactive run goes whatever the schedule says, and ends with what
  // its window's run returned.
  Set("Auto", 0);
  EXPECT_EQ(Run(CQUpdateBaseProcess::kModeInteractive), kRunResult);
  Log({"made 0", "schedule 0", "run 0"});
  EXPECT_EQ(m_process->LastRunOutcome(), Outcome::kRan);
}

TEST_F(LauncherTest, AnOldPlatformIsRefusedInBothModes) {
  platform::PlatformVersion::SetForTesting(4);
  const std::string message = CQUpdateStrings::Get(kStringOldPlatform);
  ASSERT_NE(message.find("(%s)"), std::string::npos) << message;
  for (const uint32_t mode : {CQUpdateBaseProcess::kModeInteractive, CQUpdateBaseProcess::kModeAutomatic}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    std::string error;
    ASSERT_TRUE(LogOnEntry::Write("/opt/qrvupdate/qrvupdate --auto", error)) << error;
    Set("Auto", 1);
    Set("Term", 1);
    Set("LastUpdate", 0xFFFFFFFFu);
    Set("UpdateState", 0);
    m_messages->shown.clear();
    m_messages->arguments.clear();

    EXPECT_EQ(Run(mode), 0);
    EXPECT_EQ(m_process->LastRunOutcome(), Outcome::kOldPlatform);
    if (mode == CQUpdateBaseProcess::kModeInteractive) {
      Log({"made 0", "schedule 1"});
      EXPECT_EQ(Setting("LastUpdate"), 0xFFFFFFFFu);
    } else {
      // The automatic window makes way for the interactive one, and the
      // start counts as today's check.
      Log({"made 1", "schedule 1", "deleted 1", "made 0"});
      EXPECT_EQ(Setting("LastUpdate"), 20240615u);
    }
    ASSERT_NE(m_process->DlgMgr(), nullptr);
    EXPECT_EQ(static_cast<ModeWindow*>(m_process->DlgMgr())->Mode(), 0u);
    EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{kStringOldPlatform});
    EXPECT_EQ(m_messages->arguments, std::vector<std::string>{kHomePage});
    EXPECT_EQ(Setting("Auto"), 0u);
    EXPECT_EQ(LogOnEntry::RegisteredCommand(), "");
    EXPECT_FALSE(std::filesystem::exists(LogOnEntry::DesktopFilePath()));
    m_process.reset();
  }

  // Not due: the automatic run ends before the platform is looked at.
  std::string error;
  ASSERT_TRUE(LogOnEntry::Write("/opt/qrvupdate/qrvupdate --auto", error)) << error;
  Set("Auto", 0);
  m_messages->shown.clear();
  EXPECT_EQ(Run(CQUpdateBaseProcess::kModeAutomatic), 0);
  EXPECT_EQ(m_process->LastRunOutcome(), Outcome::kNotDue);
  EXPECT_TRUE(m_messages->shown.empty());
  EXPECT_EQ(LogOnEntry::RegisteredCommand(), "/opt/qrvupdate/qrvupdate --auto");
}

TEST_F(LauncherTest, NoWindowOrAClosedGateRunsNothing) {
  Set("Auto", 1);
  Set("LastUpdate", 0xFFFFFFFFu);
  m_process = std::make_unique<CQUpdateBaseProcess>();
  m_process->SetWindowFactory([](uint32_t) { return std::unique_ptr<CQUpdateDlgMgr>(); });
  EXPECT_EQ(m_process->Run(CQUpdateBaseProcess::kModeAutomatic), 0);
  EXPECT_EQ(m_process->LastRunOutcome(), Outcome::kNoWindow);
  EXPECT_EQ(m_process->DlgMgr(), nullptr);
  EXPECT_EQ(Setting("LastUpdate"), 0xFFFFFFFFu);

  // The gate sees the window about to run, with its mode, right before it runs.
  for (const bool open : {false, true}) {
    m_process.reset();
    m_log.clear();
    m_process = std::make_unique<CQUpdateBaseProcess>();
    m_process->SetWindowFactory(
        [this](uint32_t windowMode) { return std::make_unique<ModeWindow>(windowMode, m_log); });
    m_process->SetWindowGate([this, open](uint32_t mode, CQUpdateDlgMgr& window) {
      EXPECT_EQ(&window, m_process->DlgMgr());
      m_log.push_back("gate " + std::to_string(mode));
      return open;
    });
    EXPECT_EQ(m_process->Run(CQUpdateBaseProcess::kModeAutomatic), open ? kRunResult : 0);
    EXPECT_EQ(m_process->LastRunOutcome(), open ? Outcome::kRan : Outcome::kGateRefused);
    if (open) {
      Log({"made 1", "schedule 1", "gate 1", "run 1"});
    } else {
      Log({"made 1", "schedule 1", "gate 1"});
    }
  }
  EXPECT_TRUE(m_messages->shown.empty());
}

}  // namespace
}  // namespace qrv
