#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <string>

#include "cabinet/CExtract.h"
#include "tests/support/CabinetFixtures.h"
#include "tests/support/SandboxRoot.h"

namespace Cabinet::test {

// A sandbox with freshly made cabinets in cabs/, an extractor with its
// context, and a fixed time zone (KST-9, no daylight saving) and umask 022,
// so time stamps and modes have one right answer.
class CabinetTestBase : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    m_hadTz = tz != nullptr;
    if (tz != nullptr) m_oldTz = tz;
    setenv("TZ", "KST-9", 1);
    tzset();
    m_oldMask = umask(022);
    m_cabs = qrv::test::CabinetFixtures::Make(m_root / "cabs");
    ASSERT_EQ(m_x.CreateFDIContext(), 1) << m_x.GetLastErrorText();
  }
  void TearDown() override {
    umask(m_oldMask);
    if (m_hadTz) {
      setenv("TZ", m_oldTz.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  std::string Cab(const std::string& name) const { return (m_cabs / name).string(); }
  std::filesystem::path Out() const { return m_root / "out"; }
  std::string Source(const std::string& relative) const { return qrv::test::ReadFile(m_cabs / "src" / relative); }

  static struct stat StatOf(const std::filesystem::path& path) {
    struct stat st{};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
  }

  // 2024-03-01 12:34:56, the time of every fixture entry, read as KST and as UTC.
  static constexpr time_t kStampUtc = 1709296496;
  static constexpr time_t kStampKst = kStampUtc - 9 * 3600;

  qrv::test::SandboxRoot m_root;
  std::filesystem::path m_cabs;
  CExtract m_x;

 private:
  bool m_hadTz = false;
  std::string m_oldTz;
  mode_t m_oldMask = 022;
};

}  // namespace Cabinet::test
