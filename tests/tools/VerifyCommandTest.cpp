#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/platform/trust/SignedCabinetFixtures.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::tools {
namespace {

class VerifyCommandTest : public ::testing::Test {
 protected:
  test::ProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", m_root.Path().string()});
    return test::RunProcess(QRVCTL_PATH, args);
  }
  std::string Fixture(const std::string& name) { return (m_dir / name).string(); }

  test::SandboxRoot m_root;
  std::filesystem::path m_dir = test::SignedCabinetFixtures::CopyTo(m_root / "fixtures");
};

TEST_F(VerifyCommandTest, PrintsTheSignerAndTheVerdict) {
  test::ProcessResult r = Run({"verify", "--anchors", Fixture("anchors.pem"), Fixture("maker-sha256.cab")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "C=KR, S=Gyeonggi-do, L=Seongnam-si, O=\"QORVANE. INC, Ltd\", CN=\"QORVANE. INC, Ltd\"\naccepted\n");
  EXPECT_EQ(r.err, "");

  r = Run({"verify", "--anchors=" + Fixture("anchors.pem"), Fixture("nocomma.cab")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "C=KR, O=QORVANE. INC Ltd, CN=QORVANE. INC Ltd\n");
  EXPECT_NE(r.err.find("qrvctl: refused: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("not the maker"), std::string::npos) << r.err;

  r = Run({"verify", "--anchors", Fixture("anchors.pem"), Fixture("unsigned.cab")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find(Fixture("unsigned.cab") + ": cabinet is not signed"), std::string::npos) << r.err;
}

TEST_F(VerifyCommandTest, StoredAnchorsAndUsageErrors) {
  // without anchors the test root is unknown; stored TrustAnchors fix that
  EXPECT_EQ(Run({"verify", Fixture("maker-sha256.cab")}).exitCode, 1);
  test::ProcessResult r = Run({"reg", "add", "HKLM\\SOFTWARE\\QRV\\Shared\\QrvUpdate", "TrustAnchors", "REG_SZ",
                               Fixture("anchors.pem")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = Run({"verify", Fixture("maker-sha256.cab")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  // --anchors adds to the stored file
  EXPECT_EQ(Run({"verify", "--anchors", Fixture("untrusted-anchor.pem"), Fixture("untrusted.cab")}).exitCode, 0);
  r = Run({"verify", "--anchors", Fixture("missing.pem"), Fixture("maker-sha256.cab")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find(Fixture("missing.pem")), std::string::npos) << r.err;

  EXPECT_EQ(Run({"verify"}).exitCode, 2);
  EXPECT_EQ(Run({"verify", "--anchors"}).exitCode, 2);
  EXPECT_EQ(Run({"verify", "--anchors="}).exitCode, 2);
  EXPECT_EQ(Run({"verify", "--strict", Fixture("maker-sha256.cab")}).exitCode, 2);
  EXPECT_EQ(Run({"verify", Fixture("maker-sha256.cab"), Fixture("other.cab")}).exitCode, 2);
}

}  // namespace
}  // namespace qrv::tools
