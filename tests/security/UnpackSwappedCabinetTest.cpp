// A cabinet in the download folder replaced after its check and before or
// while it is unpacked: what is unpacked must be what was checked on that
// very file; anything else fails its product.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "apply/CQUpdateApplier.h"
#include "tests/security/UnpackAttackFixture.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

// What the attacker puts in place of Calc's cabinet.
enum class Swap { kUnsigned, kOtherSigner, kUntrustedRoot, kNotACabinet, kTruncated, kLink };

constexpr const char* kSwapNames[] = {"Unsigned", "OtherSigner", "UntrustedRoot", "NotACabinet", "Truncated", "Link"};

class UnpackSwappedCabinetTest : public test::UnpackAttackFixture {
 protected:
  const std::map<std::string, std::string> kEvil{{"calc.txt", "evil calc"}, {"evil.so", "payload"}};

  // Replaces Calc's downloaded cabinet; returns what the refusal must mention.
  std::string Replace(Swap swap) {
    const fs::path cab = m_calcCab;
    const fs::path made = m_root / "attacker" / "made.cab";
    switch (swap) {
      case Swap::kUnsigned:
        Unsigned(made, kEvil);
        SwapIn(cab, ReadFile(made));
        return "not signed";
      case Swap::kOtherSigner:
        Signed(made, kEvil, "other");
        SwapIn(cab, ReadFile(made));
        return "which is not the maker";
      case Swap::kUntrustedRoot:
        Signed(made, kEvil, "untrusted");
        SwapIn(cab, ReadFile(made));
        return "Stranger Root CA";
      case Swap::kNotACabinet:
        SwapIn(cab, "#!/bin/sh\necho owned\n");
        return "is not a cabinet";
      case Swap::kTruncated: {
        const std::string good = ReadFile(cab);
        SwapIn(cab, good.substr(0, good.size() - 200));
        return "cut short";
      }
      case Swap::kLink:
        Signed(m_root / "attacker" / "real.cab", {{"calc.txt", "calc 6 but from elsewhere"}});
        fs::remove(cab);
        fs::create_symlink(m_root / "attacker" / "real.cab", cab);
        return "it is a symbolic link";
    }
    return "?";
  }
};

class UnpackSwappedCabinetKindTest : public UnpackSwappedCabinetTest, public ::testing::WithParamInterface<Swap> {};

TEST_P(UnpackSwappedCabinetKindTest, ACabinetSwappedAfterTheDownloadIsRefusedAndItsProductNotUpdated) {
  Downloaded();
  const std::string mention = Replace(GetParam());

  m_window->UpdateWait();
  EXPECT_NE(m_window->UpdateCopyFile(), 1);
  EXPECT_EQ(State(), 23u);
  EXPECT_EQ(m_window->events.back(), "CopyError@23");
  ExpectCalcNotUpdated();
  EXPECT_FALSE(fs::exists(Install("Calc") / "evil.so"));
  EXPECT_TRUE(m_diagnostics.HasTogether({"update of Calc failed", m_calcCab, mention})) << m_diagnostics.Text();
  EXPECT_EQ(Version("Writer"), 5u) << "the products after the failed one are not applied either";

  ExpectOfferedAgainAndAppliedWhole();
  EXPECT_FALSE(fs::exists(Install("Calc") / "evil.so"));
}

INSTANTIATE_TEST_SUITE_P(Swaps, UnpackSwappedCabinetKindTest,
                         ::testing::Values(Swap::kUnsigned, Swap::kOtherSigner, Swap::kUntrustedRoot,
                                           Swap::kNotACabinet, Swap::kTruncated, Swap::kLink),
                         [](const auto& swap) { return kSwapNames[static_cast<int>(swap.param)]; });

// A run interrupted after the download (12), during the copy (21) or after
// a failed copy (23) is taken up by the next start; what it finds in the
// download folder then is checked like anything else.
TEST_F(UnpackSwappedCabinetTest, AResumedRunChecksEachCabinetAgainAndRefusesASwappedOne) {
  for (const uint32_t state : {12u, 21u, 23u}) {
    SCOPED_TRACE("state " + std::to_string(state));
    NewProcess(0);
    Downloaded();
    Replace(Swap::kOtherSigner);
    m_main.SetDword("UpdateState", state);
    m_diagnostics.Clear();

    NewProcess(1);  // the next automatic start: only the store and the folders are left
    if (state == 21) m_process->RollbackCopy(0);
    m_window->UpdateWait();
    EXPECT_NE(m_window->UpdateCopyFile(), 1);
    EXPECT_EQ(State(), 23u);
    EXPECT_EQ(m_window->events, std::vector<std::string>({"CopyBegin@21", "CopyError@23"}));
    ExpectCalcNotUpdated();
    EXPECT_FALSE(fs::exists(Install("Calc") / "evil.so"));
    EXPECT_TRUE(m_diagnostics.HasTogether({m_calcCab, "Other Software, GmbH", "which is not the maker"}))
        << m_diagnostics.Text();
  }
}

// The copy reads each cabinet through the descriptor its signature was
// checked on; a second thread renaming a bad cabinet over the good one (and
// back) the whole time can make a copy fail, never install the bad bytes.
TEST_F(UnpackSwappedCabinetTest, RenamingABadCabinetOverTheGoodOneDuringTheCopyNeverInstallsIt) {
  Downloaded();
  const std::string good = ReadFile(m_calcCab);
  Unsigned(m_root / "attacker" / "bad.cab", kEvil);
  const std::string bad = ReadFile(m_root / "attacker" / "bad.cab");
  const fs::path goodCopy = m_calcCab + ".g";
  const fs::path badCopy = m_calcCab + ".b";

  std::atomic<bool> stop{false};
  std::atomic<int> swaps{0};
  std::thread attacker([&] {
    while (!stop.load()) {
      WriteFile(badCopy, bad);
      fs::rename(badCopy, m_calcCab);
      WriteFile(goodCopy, good);
      fs::rename(goodCopy, m_calcCab);
      swaps.fetch_add(1);
    }
  });
  int installed = 0;
  int refused = 0;
  for (int round = 0; round < 25; ++round) {
    CQUpdateApplier applier;
    const CopyResult result = applier.ApplyUpdates();
    ASSERT_FALSE(fs::exists(Install("Calc") / "evil.so")) << "round " << round;
    if (fs::exists(Install("Calc") / "calc.txt")) {
      ASSERT_EQ(ReadFile(Install("Calc") / "calc.txt"), "calc 6") << "round " << round;
    }
    if (result == CopyResult::kDone) {
      ++installed;
      EXPECT_EQ(Version("Calc"), 6u);
    } else {
      ++refused;
      EXPECT_NE(applier.FailureReason().find(m_calcCab), std::string::npos) << applier.FailureReason();
    }
    // back to the old level for the next round
    applier.Rollback(0);
    fs::remove(Install("Calc") / "calc.txt");
  }
  stop.store(true);
  attacker.join();
  EXPECT_GT(swaps.load(), 25) << "the attacker kept swapping during the copies";
  EXPECT_EQ(installed + refused, 25);
  RecordProperty("installed", installed);
  RecordProperty("refused", refused);
}

}  // namespace
}  // namespace qrv
