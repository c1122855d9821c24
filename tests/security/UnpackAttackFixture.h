#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/apply/ApplyFixtures.h"
#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/CabinetFixtures.h"
#include "tests/support/DiagnosticsRecorder.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::test {

// A machine for the unpacking attacks: the two signed updates of
// E2eRunFixture (Writer 5 -> 7, Calc 5 -> 6) served over loopback HTTP, a
// folder standing for /etc with a file the attacker would like to replace,
// cabinet makers for what the attacker brings, and a recorder of the
// diagnostics, m_diagnostics (where every refusal must be told, with its
// path and reason).
//
// Thread: the test's main thread.
class UnpackAttackFixture : public E2eRunFixture {
 protected:
  void SetUp() override {
    E2eRunFixture::SetUp();
    ASSERT_EQ(UseTransport(Transport::kHttp), "");
    ServeTwoUpdates();
    WriteFile(Etc() / "passwd", "root:x:0:0::/root:/bin/sh\n");
  }

  std::filesystem::path Etc() const { return m_root / "etc"; }

  // Prepare and download both updates: state 12, the signed cabinets in the
  // download folder, their paths (as the log gives them) in m_calcCab and
  // m_writerCab.
  void Downloaded() {
    ASSERT_TRUE(m_window->UpdatePrepare(0));
    std::vector<std::string> products{"Calc", "Writer"};
    ASSERT_EQ(m_window->UpdateDownload(products), 1);
    ASSERT_EQ(State(), 12u);
    m_calcCab = Log("Calc", "FILE0TEMPPATH");
    m_writerCab = Log("Writer", "FILE0TEMPPATH");
    ASSERT_TRUE(std::filesystem::is_regular_file(m_calcCab)) << m_calcCab;
    ASSERT_TRUE(std::filesystem::is_regular_file(m_writerCab)) << m_writerCab;
  }

  // A cabinet of files at out: unsigned, or signed by one of the fixture
  // certificates ("maker", "other", "untrusted" ...).
  void Unsigned(const std::filesystem::path& out, const std::map<std::string, std::string>& files) {
    std::filesystem::create_directories(out.parent_path());
    ApplyFixtures::MakeCabinet(out, files);
  }
  void Signed(const std::filesystem::path& out, const std::map<std::string, std::string>& files,
              const std::string& signer = "maker") {
    ApplyFixtures::MakeSignedCabinet(m_fixtures, out, files, signer);
  }

  // Puts bytes in place of path the way an attacker would: written beside
  // it, then renamed over it in one step.
  static void SwapIn(const std::filesystem::path& path, const std::string& bytes) {
    const std::filesystem::path beside = path.string() + ".swap";
    WriteFile(beside, bytes);
    std::filesystem::rename(beside, path);
  }

  // Calc as the installers left it: level 5, none of the update's files.
  void ExpectCalcNotUpdated() {
    EXPECT_EQ(Version("Calc"), 5u);
    EXPECT_EQ(Backup("Calc"), CQUpdateMgrEnv::kMissing);
    EXPECT_FALSE(std::filesystem::exists(Install("Calc") / "calc.txt"));
  }
  void ExpectEtcUntouched() {
    EXPECT_EQ(ReadFile(Etc() / "passwd"), "root:x:0:0::/root:/bin/sh\n");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(Etc())) ++entries;
    EXPECT_EQ(entries, 1u) << "nothing was written beside passwd";
  }
  // A fresh interactive start still offers Calc, and with the good cabinet
  // served the whole run goes through and unpacks all of it.
  void ExpectOfferedAgainAndAppliedWhole() {
    NewProcess(0);
    ASSERT_TRUE(m_window->UpdatePrepare(0));
    const std::vector<std::string> offered = m_window->Products();
    EXPECT_NE(std::find(offered.begin(), offered.end(), "Calc=6.2"), offered.end()) << "Calc is offered again";
    m_window->events.clear();
    ASSERT_TRUE(RunAll({"Calc", "Writer"}));
    EXPECT_EQ(Version("Calc"), 6u);
    EXPECT_EQ(ReadFile(Install("Calc") / "calc.txt"), "calc 6");
    EXPECT_EQ(Version("Writer"), 7u);
    EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "writer.txt"), "writer 7");
    EXPECT_EQ(State(), 0u);
  }

  std::string m_calcCab;
  std::string m_writerCab;
  DiagnosticsRecorder m_diagnostics;
};

}  // namespace qrv::test
