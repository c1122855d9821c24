#include "app/UpdateSchedule.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "app/CQUpdateUtilTime.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/registry/RegistryKey.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/ScopedEnv.h"

namespace qrv {
namespace {

using platform::RegistryKey;
using platform::RegStatus;

// Central European time, with its daylight-saving rules spelled out so the
// test needs no time-zone database: summer time from the last Sunday of
// March 02:00 to the last Sunday of October 03:00.
constexpr const char* kZone = "CET-1CEST,M3.5.0,M10.5.0/3";

class UpdateScheduleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, m_main),
              RegStatus::kOk);
    m_main.SetDword("Auto", 1);
  }
  void TearDown() override { CQUpdateUtilTime::SetNowForTesting(std::nullopt); }
  // Pins the clock to noon local time of a day.
  static void Today(int year, int month, int day) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    CQUpdateUtilTime::SetNowForTesting(mktime(&tm));
  }
  bool Due(uint32_t term, uint32_t last) {
    m_main.SetDword("Term", term);
    m_main.SetDword("LastUpdate", last);
    return UpdateSchedule::IsUpdateDue(false);
  }

  test::SandboxRoot m_root;
  RegistryKey m_main;
  test::ScopedEnv m_zone{"TZ", kZone};
};

TEST_F(UpdateScheduleTest, PeriodsCountWholeDaysFromTheLastCheck) {
  Today(2024, 6, 15);

  EXPECT_TRUE(Due(1, 20240605)) << "ten days";
  EXPECT_FALSE(Due(1, 20240606)) << "nine days";
  EXPECT_FALSE(Due(2, 20240615)) << "checked today";
  EXPECT_FALSE(Due(2, 20240616)) << "dated tomorrow";
  EXPECT_TRUE(Due(2, 20240516));
  EXPECT_FALSE(Due(3, 20240420));
  EXPECT_FALSE(Due(3, 20240317)) << "90 calendar days, but one hour short across the start of summer time";
  EXPECT_TRUE(Due(3, 20240316));
  EXPECT_FALSE(Due(7, 20200101)) << "other periods never come due";
  EXPECT_TRUE(Due(2, 0xFFFFFFFFu)) << "never checked";

  // a stored date that is no date: check rather than never again
  EXPECT_TRUE(Due(1, 0));
  EXPECT_TRUE(Due(1, 12345));
  EXPECT_TRUE(Due(1, 20241301));
  EXPECT_EQ(CQUpdateUtilTime::DateFromNumber(20240431), CQUpdateUtilTime::DateFromNumber(20240501));

  // summer time began on 31 March 2024 (ten calendar days are an hour short)
  // and ended on 27 October (an hour long)
  Today(2024, 4, 5);
  EXPECT_FALSE(Due(1, 20240326));
  EXPECT_TRUE(Due(1, 20240325));
  Today(2024, 11, 5);
  EXPECT_TRUE(Due(1, 20241026));
  EXPECT_FALSE(Due(1, 20241027));

  UpdateSchedule::RecordLastUpdate();
  platform::RegValue v;
  ASSERT_EQ(m_main.Query("LastUpdate", v), RegStatus::kOk);
  EXPECT_EQ(v.AsDword(), 20241105u);
}

TEST_F(UpdateScheduleTest, SwitchTermAndUnfinishedRuns) {
  Today(2024, 6, 15);
  m_main.SetDword("Auto", 0);
  m_main.DeleteValue("LastUpdate");
  EXPECT_FALSE(UpdateSchedule::IsUpdateDue(true)) << "switched off is never due";

  m_main.DeleteValue("Auto");
  EXPECT_TRUE(UpdateSchedule::IsUpdateDue(false)) << "a missing switch counts as on";

  // a missing Term is stored back as 0; afterwards only a missing date or an
  // unfinished automatic run makes an update due
  m_main.DeleteValue("Term");
  m_main.SetDword("LastUpdate", 20240101);
  EXPECT_FALSE(UpdateSchedule::IsUpdateDue(false));
  platform::RegValue v;
  ASSERT_EQ(m_main.Query("Term", v), RegStatus::kOk);
  EXPECT_EQ(v.AsDword(), 0u);
  m_main.SetDword("UpdateState", 21);
  EXPECT_TRUE(UpdateSchedule::IsUpdateDue(true));
  EXPECT_FALSE(UpdateSchedule::IsUpdateDue(false)) << "only the automatic run resumes";
  m_main.SetDword("UpdateState", 0);
  EXPECT_FALSE(UpdateSchedule::IsUpdateDue(true));
}

}  // namespace
}  // namespace qrv
