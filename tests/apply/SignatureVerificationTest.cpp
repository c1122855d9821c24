#include "apply/SignatureVerification.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/registry/RegistryKey.h"
#include "tests/platform/trust/SignedCabinetFixtures.h"
#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

using platform::RegistryKey;
using platform::RegStatus;

// The chain, digest and damage checks belong to AuthenticodeVerifierTest;
// here: the maker's name rule and where the trusted roots come from.
class SignatureVerificationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, "SOFTWARE\\QRV\\Shared\\QrvUpdate", m_main),
              RegStatus::kOk);
  }
  void Trust(const std::string& anchors) { ASSERT_EQ(m_main.SetString("TrustAnchors", anchors), RegStatus::kOk); }
  int Verify(const std::string& name, const std::string& extra = {}) {
    m_reason = m_subject = "stale";
    return VerifyFileSignature((m_dir / name).string(), &m_reason, &m_subject, extra);
  }

  test::SandboxRoot m_root;
  std::filesystem::path m_dir = test::SignedCabinetFixtures::CopyTo(m_root / "fixtures");
  RegistryKey m_main;
  std::string m_reason;
  std::string m_subject;
};

TEST_F(SignatureVerificationTest, OnlyTheMakersQuotedNamesPass) {
  Trust((m_dir / "anchors.pem").string());
  const struct {
    const char* file;
    int result;
    const char* subject;  // nullptr: not checked
  } cases[] = {
      {"maker-sha256.cab", 1, "C=KR, S=Gyeonggi-do, L=Seongnam-si, O=\"QORVANE. INC, Ltd\", CN=\"QORVANE. INC, Ltd\""},
      {"maker-sha1.cab", 1, nullptr},
      {"maker-sha512.cab", 1, nullptr},
      {"expired-ts.cab", 1, nullptr},
      // without a comma the names print unquoted and miss the pattern
      {"nocomma.cab", 0, "C=KR, O=QORVANE. INC Ltd, CN=QORVANE. INC Ltd"},
      // the organisation alone is not enough
      {"othercn.cab", 0, "C=KR, O=\"QORVANE. INC, Ltd\", CN=\"Build Robot, Qorvane\""},
      {"other.cab", 0, nullptr},
      {"unsigned.cab", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(Verify(c.file), c.result) << m_reason;
    EXPECT_EQ(VerifyFileSignature((m_dir / c.file).string()), c.result);
    if (c.subject != nullptr) {
      EXPECT_EQ(m_subject, c.subject);
    }
    EXPECT_EQ(m_reason.empty(), c.result == 1) << m_reason;
  }
  Verify("nocomma.cab");
  EXPECT_NE(m_reason.find("not the maker"), std::string::npos) << m_reason;
}

TEST_F(SignatureVerificationTest, TrustAnchorsSettingAndExtraAnchors) {
  EXPECT_EQ(Verify("maker-sha256.cab"), 0) << "the system bundle alone does not know the test root";
  EXPECT_NE(m_reason.find("unable to get local issuer certificate"), std::string::npos) << m_reason;
  EXPECT_EQ(Verify("maker-sha256.cab", (m_dir / "anchors.pem").string()), 1) << m_reason;
  Trust("");
  EXPECT_EQ(Verify("maker-sha256.cab"), 0);

  Trust((m_dir / "anchors.pem").string());
  EXPECT_EQ(Verify("maker-sha256.cab"), 1) << m_reason;
  // an extra anchor adds to the setting, it does not replace it
  EXPECT_EQ(Verify("maker-sha256.cab", (m_dir / "untrusted-anchor.pem").string()), 1) << m_reason;
  EXPECT_EQ(Verify("untrusted.cab", (m_dir / "untrusted-anchor.pem").string()), 1) << m_reason;
  EXPECT_EQ(Verify("untrusted.cab"), 0);
  EXPECT_NE(m_subject.find("QORVANE"), std::string::npos) << "the signer is still named";

  // a configured file that is gone refuses everything, loudly
  const std::string gone = (m_dir / "removed.pem").string();
  Trust(gone);
  EXPECT_EQ(Verify("maker-sha256.cab"), 0);
  EXPECT_NE(m_reason.find("cannot read the trust anchors file " + gone), std::string::npos) << m_reason;
  EXPECT_EQ(Verify("maker-sha256.cab", (m_dir / "anchors.pem").string()), 0) << "no fallback to the other file";
}

TEST_F(SignatureVerificationTest, AnOpenFileGetsTheMakerRuleAndItsSignedLength) {
  Trust((m_dir / "anchors.pem").string());
  const std::string path = (m_dir / "update.cab").string();
  std::filesystem::copy_file(m_dir / "maker-sha256.cab", path);
  const int maker = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(maker, 0);
  std::filesystem::rename(m_dir / "other.cab", path);
  uint64_t length = 1;
  EXPECT_EQ(VerifyOpenFileSignature(maker, path, &m_reason, &m_subject, &length), 1) << m_reason;
  EXPECT_EQ(length, test::ReadU32(test::ReadFile(m_dir / "maker-sha256.cab"), 8));
  close(maker);

  // the file the path shows now: well signed, but not by the maker
  const int other = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_EQ(VerifyOpenFileSignature(other, path, &m_reason, &m_subject, &length), 0);
  EXPECT_EQ(length, 0u);
  EXPECT_NE(m_reason.find(path + ": signed by \"C=DE, O=\"Other Software, GmbH\""), std::string::npos) << m_reason;
  EXPECT_EQ(VerifyOpenFileSignature(other, path, nullptr, nullptr, nullptr), 0);
  close(other);
}

}  // namespace
}  // namespace qrv
