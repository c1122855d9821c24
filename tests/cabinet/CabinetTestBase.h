#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "cabinet/CExtract.h"
#include "tests/support/CabinetFixtures.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/ScopedEnv.h"

namespace Cabinet::test {

// A sandbox with freshly made cabinets in cabs/, an extractor with its
// context, and a fixed time zone (KST-9, no daylight saving) and umask 022,
// so time stamps and modes have one right answer.
class CabinetTestBase : public ::testing::Test {
 protected:
  void SetUp() override {
    m_oldMask = umask(022);
    m_cabs = qrv::test::CabinetFixtures::Make(m_root / "cabs");
    ASSERT_EQ(m_x.CreateFDIContext(), 1) << m_x.GetLastErrorText();
  }
  void TearDown() override {
    umask(m_oldMask);
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
  qrv::test::ScopedEnv m_zone{"TZ", "KST-9"};
  mode_t m_oldMask = 022;
};

}  // namespace Cabinet::test
