// A replacement queue that cannot be read is a failure, not an empty queue:
// the boot run must not report success while files wait in the pending
// folder, and the administrator's tool must not show "nothing queued" or
// "no store" to a user who merely may not read the store. The pending folder
// itself is reached without following a link in its place.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "apply/PendingReplacements.h"
#include "platform/registry/RegistryStore.h"
#include "tests/support/CabinetFixtures.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/SecondUser.h"
#include "tests/support/SkipUnlessServer.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class PendingQueueReadFailureTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::RegistryStore::ReleaseThreadConnections(); }

  fs::path Install() const { return m_root / "inst" / "Writer"; }
  fs::path Store() const { return m_root / "var/lib/qrvupdate/HKLM.sqlite"; }

  // Queues one file the ordinary way; returns the pending file.
  std::string QueueOne() {
    WriteFile(Install() / "main.bin", "old");
    WriteFile(m_root / "hold" / "main.bin", "new");
    std::string error;
    EXPECT_TRUE(PendingReplacements::Queue((m_root / "hold" / "main.bin").string(),
                                           (Install() / "main.bin").string(), error))
        << error;
    const auto entries = PendingReplacements::List();
    EXPECT_EQ(entries.size(), 1u);
    return entries.empty() ? std::string() : entries[0].source;
  }

  test::SandboxRoot m_root;
};

TEST_F(PendingQueueReadFailureTest, TheBootRunFailsWhenTheStoreHoldingTheQueueIsDamaged) {
  // overwritten with other bytes, or cut short after its header
  for (const bool cut : {false, true}) {
    SCOPED_TRACE(cut ? "cut short" : "not a database");
    const std::string source = QueueOne();
    ASSERT_FALSE(source.empty());
    platform::RegistryStore::ReleaseThreadConnections();
    WriteFile(Store(), cut ? ReadFile(Store()).substr(0, 1024) : std::string(4096, 'x'));

    const test::ProcessResult r =
        test::RunProcess(QRVUPDATE_PATH, {"--finish-pending", "--root", m_root.Path().string()});
    EXPECT_EQ(r.exitCode, 1) << "the queue could not be read, the file was not put in place:\n" << r.err;
    EXPECT_TRUE(Has(r.err, Store().string())) << r.err;
    EXPECT_EQ(ReadFile(source), "new") << "still waiting";
    EXPECT_EQ(ReadFile(Install() / "main.bin"), "old");

    // a fresh store for the next case
    fs::remove(Store());
    fs::remove(source);
  }
}

TEST_F(PendingQueueReadFailureTest, ALinkInPlaceOfThePendingFolderIsNotFollowed) {
  const std::string source = QueueOne();
  ASSERT_FALSE(source.empty());
  // the pending folder's content moved elsewhere and a link put in its place
  const fs::path pending = PendingReplacements::Folder();
  const fs::path elsewhere = m_root / "elsewhere";
  fs::rename(pending.parent_path(), elsewhere);
  fs::create_directory_symlink(elsewhere, pending.parent_path());

  std::vector<std::string> failures;
  EXPECT_EQ(PendingReplacements::RunAll(failures), 0u) << "the source was read through a link";
  EXPECT_EQ(ReadFile(Install() / "main.bin"), "old");
  EXPECT_EQ(test::CabinetFixtures::Tree(elsewhere).size(), 1u) << "the file in the linked folder stays";
  EXPECT_EQ(failures.size(), 1u) << ::testing::PrintToString(failures);
}

TEST_F(PendingQueueReadFailureTest, AUserWhoCannotReadTheStoreIsToldSoByTheAdministratorsTool) {
  QRV_SKIP_UNLESS_SERVER(test::SecondUser::Available(), "no second user (needs root and setpriv)");
  QueueOne();
  // nobody reaches the root, but not the private store folder below it
  test::SecondUser::LetReach(m_root.Path());
  const std::string root = m_root.Path().string();

  test::ProcessResult r = test::SecondUser::Run({QRVCTL_PATH, "--root", root, "pending", "list"});
  EXPECT_NE(r.exitCode, 0) << "one file is queued, but the user was shown an empty queue:\n" << r.out;
  EXPECT_TRUE(Has(r.err, "ermission denied")) << r.err;

  r = test::SecondUser::Run({QRVCTL_PATH, "--root", root, "reg", "query", "HKLM\\SOFTWARE\\QRV\\Shared\\QrvUpdate"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_FALSE(Has(r.err, "does not exist")) << "the store exists; it may not be read:\n" << r.err;
  EXPECT_TRUE(Has(r.err, "ermission denied")) << r.err;
}

}  // namespace
}  // namespace qrv
