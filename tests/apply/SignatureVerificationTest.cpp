#include "apply/SignatureVerification.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <unistd.h>
#include <openssl/x509.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/CQUpdateMgrEnv.h"
#include "platform/registry/RegistryKey.h"
#include "tests/platform/trust/SignedCabinetFixtures.h"
#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

using platform::RegistryKey;
using platform::RegStatus;

constexpr const char* kMain = "SOFTWARE\\QRV\\Shared\\QrvUpdate";

class SignatureVerificationTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, kMain, m_main), RegStatus::kOk); }
  void TrustTestRoot() { ASSERT_EQ(m_main.SetString("TrustAnchors", (m_dir / "anchors.pem").string()), RegStatus::kOk); }
  int Verify(const std::string& name, const std::string& extra = {}) {
    m_reason = "stale";
    m_subject = "stale";
    return VerifyFileSignature((m_dir / name).string(), &m_reason, &m_subject, extra);
  }

  test::SandboxRoot m_root;
  std::filesystem::path m_dir = test::SignedCabinetFixtures::CopyTo(m_root / "fixtures");
  RegistryKey m_main;
  std::string m_reason;
  std::string m_subject;
};

TEST_F(SignatureVerificationTest, OnlyTheMakersQuotedNamesPass) {
  TrustTestRoot();
  EXPECT_EQ(Verify("maker-sha256.cab"), 1) << m_reason;
  EXPECT_EQ(m_reason, "");
  EXPECT_EQ(m_subject, "C=KR, S=Gyeonggi-do, L=Seongnam-si, O=\"QORVANE. INC, Ltd\", CN=\"QORVANE. INC, Ltd\"");
  EXPECT_EQ(Verify("maker-sha1.cab"), 1) << m_reason;
  EXPECT_EQ(Verify("expired-ts.cab"), 1) << m_reason;
  EXPECT_EQ(VerifyFileSignature((m_dir / "maker-sha512.cab").string()), 1);

  // without a comma the names print unquoted and miss the pattern
  EXPECT_EQ(Verify("nocomma.cab"), 0);
  EXPECT_EQ(m_subject, "C=KR, O=QORVANE. INC Ltd, CN=QORVANE. INC Ltd");
  EXPECT_NE(m_reason.find("not the maker"), std::string::npos) << m_reason;
  EXPECT_NE(m_reason.find("nocomma.cab"), std::string::npos) << m_reason;
  // the organisation alone is not enough
  EXPECT_EQ(Verify("othercn.cab"), 0);
  EXPECT_EQ(m_subject, "C=KR, O=\"QORVANE. INC, Ltd\", CN=\"Build Robot, Qorvane\"");
  EXPECT_EQ(Verify("other.cab"), 0);
  EXPECT_EQ(VerifyFileSignature((m_dir / "nocomma.cab").string()), 0);
}

TEST_F(SignatureVerificationTest, InvalidSignaturesAreRefusedWithTheirReason) {
  TrustTestRoot();
  EXPECT_EQ(Verify("unsigned.cab"), 0);
  EXPECT_NE(m_reason.find("not signed"), std::string::npos) << m_reason;
  EXPECT_EQ(m_subject, "");
  EXPECT_EQ(Verify("text.cab"), 0);
  EXPECT_NE(m_reason.find("not a cabinet"), std::string::npos) << m_reason;
  EXPECT_EQ(Verify("flip-data.cab"), 0);
  EXPECT_NE(m_reason.find("does not match its signature"), std::string::npos) << m_reason;
  EXPECT_EQ(Verify("expired.cab"), 0);
  EXPECT_NE(m_reason.find("expired"), std::string::npos) << m_reason;
  EXPECT_EQ(Verify("untrusted.cab"), 0);
  EXPECT_NE(m_subject.find("QORVANE"), std::string::npos) << "the signer is still named";
  EXPECT_EQ(VerifyFileSignature((m_dir / "unsigned.cab").string()), 0);
  EXPECT_EQ(VerifyFileSignature((m_dir / "maker-sha256.cab").string(), nullptr, nullptr), 1);
}

TEST_F(SignatureVerificationTest, TrustAnchorsSettingAndExtraAnchors) {
  CQUpdateMgrEnv env;
  EXPECT_EQ(env.GetTrustAnchors(), "") << "missing value";
  EXPECT_EQ(Verify("maker-sha256.cab"), 0) << "the system bundle alone does not know the test root";
  EXPECT_NE(m_reason.find("unable to get local issuer certificate"), std::string::npos) << m_reason;
  EXPECT_EQ(Verify("maker-sha256.cab", (m_dir / "anchors.pem").string()), 1) << m_reason;

  ASSERT_EQ(m_main.SetString("TrustAnchors", ""), RegStatus::kOk);
  EXPECT_EQ(env.GetTrustAnchors(), "");
  EXPECT_EQ(Verify("maker-sha256.cab"), 0);

  TrustTestRoot();
  EXPECT_EQ(env.GetTrustAnchors(), (m_dir / "anchors.pem").string());
  EXPECT_EQ(Verify("maker-sha256.cab"), 1) << m_reason;
  // an extra anchor adds to the setting, it does not replace it
  EXPECT_EQ(Verify("maker-sha256.cab", (m_dir / "untrusted-anchor.pem").string()), 1) << m_reason;
  EXPECT_EQ(Verify("untrusted.cab", (m_dir / "untrusted-anchor.pem").string()), 1) << m_reason;
  EXPECT_EQ(Verify("untrusted.cab"), 0);

  // a configured file that is gone refuses everything, loudly
  const std::string gone = (m_dir / "removed.pem").string();
  ASSERT_EQ(m_main.SetString("TrustAnchors", gone), RegStatus::kOk);
  EXPECT_EQ(Verify("maker-sha256.cab"), 0);
  EXPECT_NE(m_reason.find("cannot read the trust anchors file " + gone), std::string::npos) << m_reason;
  EXPECT_EQ(Verify("maker-sha256.cab", (m_dir / "anchors.pem").string()), 0) << "no fallback to the other file";
}

TEST_F(SignatureVerificationTest, AnOpenFileGetsTheSameRulesAndItsSignedLength) {
  TrustTestRoot();
  const std::string path = (m_dir / "update.cab").string();
  std::filesystem::copy_file(m_dir / "maker-sha256.cab", path);
  const int maker = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(maker, 0);
  std::filesystem::rename(m_dir / "other.cab", path);
  uint64_t length = 1;
  EXPECT_EQ(VerifyOpenFileSignature(maker, path, &m_reason, &m_subject, &length), 1) << m_reason;
  EXPECT_EQ(m_reason, "");
  EXPECT_EQ(length, test::ReadU32(test::ReadFile(m_dir / "maker-sha256.cab"), 8));
  close(maker);

  // the file the path shows now: well signed, but not by the maker
  const int other = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_EQ(VerifyOpenFileSignature(other, path, &m_reason, &m_subject, &length), 0);
  EXPECT_EQ(length, 0u);
  EXPECT_NE(m_reason.find(path + ": signed by \"C=DE, O=\"Other Software, GmbH\""), std::string::npos) << m_reason;
  EXPECT_NE(m_reason.find("which is not the maker"), std::string::npos) << m_reason;
  EXPECT_EQ(VerifyOpenFileSignature(other, path, nullptr, nullptr, nullptr), 0);
  close(other);
}

TEST_F(SignatureVerificationTest, SubjectNameOfACertificate) {
  FILE* f = std::fopen((m_dir / "pki" / "othercn.pem").c_str(), "r");
  ASSERT_NE(f, nullptr);
  X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  ASSERT_NE(cert, nullptr);
  unsigned char* der = nullptr;
  const int size = i2d_X509(cert, &der);
  X509_free(cert);
  ASSERT_GT(size, 0);
  std::vector<uint8_t> bytes(der, der + size);
  OPENSSL_free(der);
  EXPECT_EQ(GetCertSubjectName(bytes), "C=KR, O=\"QORVANE. INC, Ltd\", CN=\"Build Robot, Qorvane\"");
  EXPECT_EQ(GetCertSubjectName({}), "");
  bytes.resize(bytes.size() / 2);
  EXPECT_EQ(GetCertSubjectName(bytes), "") << "a certificate that does not decode has no name";
}

}  // namespace
}  // namespace qrv
