// Links planted inside an installation folder (one a user was given, or left
// open to a group) pointing at a folder that stands for /etc: nothing lands
// outside; the product whose files would have gone there fails, with why.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "apply/CQUpdateApplier.h"
#include "apply/PendingReplacements.h"
#include "platform/registry/RegistryKey.h"
#include "tests/security/UnpackAttackFixture.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

class UnpackConfinementTest : public test::UnpackAttackFixture {
 protected:
  // Downloads both updates and runs the copy, which must fail Writer
  // (state 23, level not recorded) with nothing written outside.
  void ExpectCopyFailsWriter() {
    ASSERT_NO_FATAL_FAILURE(Downloaded());
    m_window->UpdateWait();
    EXPECT_NE(m_window->UpdateCopyFile(), 1);
    ExpectEtcUntouched();
    EXPECT_EQ(State(), 23u);
    EXPECT_EQ(Version("Writer"), 5u);
    EXPECT_EQ(Backup("Writer"), CQUpdateMgrEnv::kMissing);
  }
};

TEST_F(UnpackConfinementTest, AFolderOfTheProductLinkedElsewhereIsNotFollowedAndFailsTheProduct) {
  fs::create_symlink(Etc(), Install("Writer") / "bin");

  ExpectCopyFailsWriter();
  EXPECT_EQ(m_window->events.back(), "CopyError@23");
  // the product before it went in; the window's copy error rolls the whole
  // run's levels back, so it is offered again too
  EXPECT_EQ(ReadFile(Install("Calc") / "calc.txt"), "calc 6");
  EXPECT_EQ(Version("Calc"), 5u);
  EXPECT_TRUE(m_diagnostics.HasTogether(
      {"update of Writer failed", (Install("Writer") / "bin").string() + " is a symbolic link"}))
      << m_diagnostics.Text();
  EXPECT_TRUE(PendingReplacements::List().empty()) << "nothing waits to go through the link at the next start";
  EXPECT_TRUE(fs::is_symlink(Install("Writer") / "bin")) << "the link itself is left as it is";

  // once the link is gone the update goes in
  fs::remove(Install("Writer") / "bin");
  NewProcess(0);
  ASSERT_TRUE(RunAll({"Writer"}));
  EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "writer.txt"), "writer 7");
  EXPECT_EQ(Version("Writer"), 7u);
  ExpectEtcUntouched();
}

// A file that cannot be written in place sends the cabinet through the
// holding folder; the copy from there is confined the same way.
TEST_F(UnpackConfinementTest, TheCopyFromTheHoldingFolderDoesNotFollowALinkEither) {
  ServeCabinet("writer.cab", {{"a/busy.txt", "new busy"}, {"bin/writer.txt", "writer 7"}, {"bin/Writer.exe", "w 7"}});
  WriteFile(Install("Writer") / "a" / "busy.txt" / "inside", "a folder where a file goes");
  fs::create_symlink(Etc(), Install("Writer") / "bin");

  ExpectCopyFailsWriter();
  EXPECT_TRUE(m_diagnostics.Has("copying its files through")) << m_diagnostics.Text();
  EXPECT_TRUE(m_diagnostics.HasTogether(
      {"update of Writer failed", "refusing to write " + (Install("Writer") / "bin" / "writer.txt").string()}))
      << m_diagnostics.Text();
  for (const PendingReplacements::Entry& entry : PendingReplacements::List()) {
    EXPECT_EQ(entry.target.find((Install("Writer") / "bin").string()), std::string::npos) << entry.target;
  }
  EXPECT_TRUE(test::CabinetFixtures::Tree(Download() / "Tmp" / "Writer").size() <= 2u)
      << "the refused files do not wait in the holding folder";
}

// The installation folder itself may be a link: that is where the
// administrator put the product.
TEST_F(UnpackConfinementTest, AnInstallationFolderThatIsItselfALinkIsUsed) {
  fs::create_directories(m_root / "opt" / "Writer");
  fs::create_directory_symlink(m_root / "opt", m_root / "opt-link");
  platform::RegistryKey writer;
  ASSERT_EQ(m_main.OpenSubKey("Writer", platform::RegAccess::kAll, writer), platform::RegStatus::kOk);
  writer.SetString("ProductPath", (m_root / "opt-link" / "Writer").string() + "/");

  ASSERT_TRUE(RunAll({"Writer"}));
  EXPECT_EQ(ReadFile(m_root / "opt" / "Writer" / "bin" / "writer.txt"), "writer 7");
  EXPECT_EQ(Version("Writer"), 7u);
}

// The link appears and disappears while the copy runs: every folder is
// looked up again from the open installation folder, so no timing lets a
// file through.
TEST_F(UnpackConfinementTest, ALinkSwappedInAndOutDuringTheCopyNeverLetsAFileOut) {
  Downloaded();
  const fs::path bin = Install("Writer") / "bin";
  const fs::path parked = Install("Writer") / "parked";
  fs::create_directories(parked);
  std::atomic<bool> stop{false};
  std::atomic<int> swaps{0};
  std::thread attacker([&] {
    std::error_code ec;
    for (int n = 0; !stop.load(); ++n) {
      fs::rename(bin, parked / std::to_string(n), ec);  // the real folder (or the link) out of the way
      fs::create_directory_symlink(Etc(), bin, ec);
      std::this_thread::yield();
      if (fs::is_symlink(bin)) fs::remove(bin, ec);
      swaps.fetch_add(1);
    }
  });
  for (int round = 0; round < 25; ++round) {
    CQUpdateApplier applier;
    const CopyResult result = applier.ApplyUpdates();
    ASSERT_FALSE(fs::exists(Etc() / "writer.txt")) << "round " << round;
    ASSERT_FALSE(fs::exists(Etc() / "Writer.exe")) << "round " << round;
    if (result != CopyResult::kDone) {
      EXPECT_NE(applier.FailureReason().find("Writer"), std::string::npos) << applier.FailureReason();
    }
    applier.Rollback(0);
  }
  stop.store(true);
  attacker.join();
  EXPECT_GT(swaps.load(), 25);
  ExpectEtcUntouched();
}

}  // namespace
}  // namespace qrv
