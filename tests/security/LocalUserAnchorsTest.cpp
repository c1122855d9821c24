// A second local user who can change the extra trust anchors file decides
// whose signatures pass: such a file is refused, and with it every cabinet,
// rather than trusted. Whole runs against a loopback HTTP server.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/DiagnosticsRecorder.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/SecondUser.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;

class LocalUserAnchorsTest : public test::E2eRunFixture {
 protected:
  void SetUp() override {
    E2eRunFixture::SetUp();
    ASSERT_EQ(UseTransport(test::Transport::kHttp), "");
    ServeTwoUpdates();
    m_anchors = m_fixtures / "anchors.pem";
  }

  // The download stops at the first cabinet: its signature cannot be
  // checked against anchors nobody can vouch for.
  void ExpectRefused(const std::string& why) {
    m_diagnostics.Clear();
    NewProcess(0);
    ASSERT_TRUE(m_window->UpdatePrepare(0));
    std::vector<std::string> products{"Calc", "Writer"};
    EXPECT_EQ(m_window->UpdateDownload(products), 5);
    EXPECT_TRUE(m_diagnostics.HasTogether({"trust anchors file", "cannot be trusted", why})) << m_diagnostics.Text();
    EXPECT_EQ(Version("Writer"), 5u);
    EXPECT_FALSE(fs::exists(Install("Writer") / "bin" / "writer.txt"));
  }

  fs::path m_anchors;
  test::DiagnosticsRecorder m_diagnostics;
};

TEST_F(LocalUserAnchorsTest, AnchorsOthersCouldChangeAreRefusedNotTrusted) {
  chmod(m_anchors.c_str(), 0666);
  ExpectRefused("may be written by other users");
  chmod(m_anchors.c_str(), 0644);

  // The folder that holds it, open to all and not sticky: the file could
  // be swapped for another.
  const mode_t folderMode = test::ModeOf(m_fixtures);
  chmod(m_fixtures.c_str(), 0777);
  ExpectRefused("may be written by other users");
  chmod(m_fixtures.c_str(), folderMode);

  // The same anchors, kept safe, let the run through.
  NewProcess(0);
  ASSERT_TRUE(RunAll({"Calc", "Writer"}));
  EXPECT_EQ(Version("Writer"), 7u);
}

TEST_F(LocalUserAnchorsTest, AnchorsASecondUserOwnsOrLinksToAreRefused) {
  if (!test::SecondUser::Available()) GTEST_SKIP() << "a second user needs root and setpriv (CI has both)";
  ASSERT_EQ(chown(m_anchors.c_str(), test::SecondUser::kUid, test::SecondUser::kUid), 0);
  ExpectRefused("belongs to user 65534");
  ASSERT_EQ(chown(m_anchors.c_str(), 0, 0), 0);

  // A link the second user made, in a shared folder, pointing at good
  // anchors today and at theirs tomorrow.
  const fs::path shared = m_root / "shared";
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  test::SecondUser::LetReach(shared);
  const fs::path link = shared / "anchors.pem";
  const test::ProcessResult made = test::SecondUser::Run({"/bin/ln", "-s", m_anchors.string(), link.string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  m_main.SetString("TrustAnchors", link.string());
  ExpectRefused("symbolic link of user 65534");
}

}  // namespace
}  // namespace qrv
