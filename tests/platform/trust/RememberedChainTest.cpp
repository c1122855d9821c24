#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/trust/AuthenticodeVerifier.h"
#include "tests/platform/trust/SignedCabinetFixtures.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

using Status = AuthenticodeResult::Status;

// A chain that checked out is remembered (ChainVerifier); what is
// remembered must never let through what a full check refuses.
class RememberedChainTest : public ::testing::Test {
 protected:
  AuthenticodeResult Verify(const std::string& name) {
    AuthenticodeResult result;
    AuthenticodeVerifier::Verify((m_dir / name).string(), {m_anchors.string()}, result);
    return result;
  }

  test::SandboxRoot m_root;
  std::filesystem::path m_dir = test::SignedCabinetFixtures::CopyTo(m_root / "fixtures");
  std::filesystem::path m_anchors = m_root / "anchors" / "trusted.pem";
};

TEST_F(RememberedChainTest, CountsOnlyForItsAnchorsAndInsideItsValidity) {
  std::filesystem::create_directories(m_anchors.parent_path());
  std::filesystem::copy_file(m_dir / "anchors.pem", m_anchors);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Verify("maker-sha256.cab").Accepted()) << Verify("maker-sha256.cab").reason;

  // The same anchors file, now holding another root: the chain checked
  // before no longer leads to an anchor.
  std::filesystem::copy_file(m_dir / "untrusted-anchor.pem", m_anchors,
                             std::filesystem::copy_options::overwrite_existing);
  AuthenticodeResult r = Verify("maker-sha256.cab");
  EXPECT_EQ(r.status, Status::kUntrusted) << r.reason;
  EXPECT_TRUE(Verify("untrusted.cab").Accepted());
  std::filesystem::copy_file(m_dir / "anchors.pem", m_anchors, std::filesystem::copy_options::overwrite_existing);
  EXPECT_EQ(Verify("untrusted.cab").status, Status::kUntrusted);
  EXPECT_TRUE(Verify("maker-sha256.cab").Accepted());

  // An expired signer's chain, good at the time its stamp gives, is checked
  // at the present time for a signature without a stamp: refused.
  r = Verify("expired-ts.cab");
  ASSERT_TRUE(r.Accepted()) << r.reason;
  r = Verify("expired.cab");
  EXPECT_EQ(r.status, Status::kExpired) << r.reason;
  EXPECT_TRUE(Verify("expired-ts.cab").Accepted());
}

}  // namespace
}  // namespace qrv::platform
