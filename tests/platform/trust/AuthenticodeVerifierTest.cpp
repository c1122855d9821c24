#include "platform/trust/AuthenticodeVerifier.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "platform/core/LastError.h"
#include "tests/platform/trust/SignedCabinetFixtures.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

using Status = AuthenticodeResult::Status;

constexpr const char* kMakerSubject =
    "C=KR, S=Gyeonggi-do, L=Seongnam-si, O=\"QORVANE. INC, Ltd\", CN=\"QORVANE. INC, Ltd\"";
constexpr int64_t kStamped2020 = 1590969600;  // the -TSA-time of the script

class AuthenticodeVerifierTest : public ::testing::Test {
 protected:
  AuthenticodeResult Verify(const std::string& name, std::vector<std::string> anchors = {"anchors.pem"}) {
    for (std::string& a : anchors) {
      if (!a.empty()) a = (m_dir / a).string();
    }
    AuthenticodeResult result;
    const bool accepted = AuthenticodeVerifier::Verify((m_dir / name).string(), anchors, result);
    EXPECT_EQ(accepted, result.Accepted()) << name;
    if (!accepted) {
      EXPECT_FALSE(result.reason.empty()) << name;
      EXPECT_EQ(LastError::Text(), result.reason) << name;
    }
    return result;
  }
  void ExpectRefused(const std::string& name, Status status, const std::string& fragment,
                     std::vector<std::string> anchors = {"anchors.pem"}) {
    AuthenticodeResult r = Verify(name, anchors);
    EXPECT_EQ(AuthenticodeResult::StatusName(r.status), std::string(AuthenticodeResult::StatusName(status)))
        << name << ": " << r.reason;
    EXPECT_NE(r.reason.find(fragment), std::string::npos) << name << ": " << r.reason;
    EXPECT_NE(r.reason.find(name), std::string::npos) << "the reason names the file: " << r.reason;
  }

  test::SandboxRoot m_root;
  std::filesystem::path m_dir = test::SignedCabinetFixtures::CopyTo(m_root / "fixtures");
};

TEST_F(AuthenticodeVerifierTest, GoodSignaturesWithEveryAcceptedDigest) {
  const int64_t before = static_cast<int64_t>(std::time(nullptr));
  for (const char* name : {"maker-sha1.cab", "maker-sha256.cab", "maker-sha384.cab", "maker-sha512.cab"}) {
    AuthenticodeResult r = Verify(name);
    EXPECT_TRUE(r.Accepted()) << name << ": " << r.reason;
    EXPECT_EQ(r.subject, kMakerSubject) << name;
    EXPECT_TRUE(r.reason.empty());
    EXPECT_FALSE(r.signerCertificate.empty());
    EXPECT_FALSE(r.timestamped);
    EXPECT_GE(r.verificationTime, before) << "without a timestamp the chain is checked now";
  }
  // The platform check knows no maker: any trusted publisher passes here.
  EXPECT_EQ(Verify("nocomma.cab").subject, "C=KR, O=QORVANE. INC Ltd, CN=QORVANE. INC Ltd");
  EXPECT_TRUE(Verify("other.cab").Accepted());
  EXPECT_TRUE(Verify("othercn.cab").Accepted());
}

TEST_F(AuthenticodeVerifierTest, FilesWithoutAnyOrWithoutOurSignatureFormat) {
  ExpectRefused("text.cab", Status::kNotCabinet, "not a cabinet");
  ExpectRefused("empty.cab", Status::kNotCabinet, "not a cabinet");
  ExpectRefused("unsigned.cab", Status::kNotSigned, "not signed");
  ExpectRefused("missing.cab", Status::kUnreadable, "No such file or directory");
  std::filesystem::create_directory(m_dir / "folder.cab");
  ExpectRefused("folder.cab", Status::kUnreadable, "not a regular file");
  ASSERT_EQ(mkfifo((m_dir / "fifo.cab").c_str(), 0600), 0);
  ExpectRefused("fifo.cab", Status::kUnreadable, "not a regular file");
  EXPECT_TRUE(Verify("maker-sha256.cab").Accepted()) << "earlier refusals leave no state behind";
}

TEST_F(AuthenticodeVerifierTest, DamagedFilesAreRefusedForWhatIsWrong) {
  ExpectRefused("flip-data.cab", Status::kBadDigest, "does not match its signature: signed SHA256 ");
  ExpectRefused("flip-header.cab", Status::kBadDigest, "does not match");
  ExpectRefused("flip-reserved.cab", Status::kMalformed, "bytes 4..7 hold 0x0000ff00");
  ExpectRefused("flip-sigheader.cab", Status::kMalformed, "differs from the cabinet length");
  ExpectRefused("flip-signature.cab", Status::kBadSignature, "signature does not verify");
  ExpectRefused("flip-der.cab", Status::kMalformed, "follow the 127-byte signature");
  ExpectRefused("truncated-signature.cab", Status::kMalformed, "cut short");
  ExpectRefused("truncated-half.cab", Status::kMalformed, "cut short");
  ExpectRefused("truncated-header.cab", Status::kMalformed, "cut short at 40 bytes");
  ExpectRefused("appended.cab", Status::kMalformed, "16 bytes follow the signature");
  ExpectRefused("maker-md5.cab", Status::kBadDigest, "MD5");
  // damage in the content is found even though the signer is known
  EXPECT_EQ(Verify("flip-data.cab").subject, kMakerSubject);
}

TEST_F(AuthenticodeVerifierTest, ChainAndKeyUsageOfTheSigner) {
  ExpectRefused("untrusted.cab", Status::kUntrusted, "Stranger Root CA");
  EXPECT_EQ(Verify("untrusted.cab").subject, kMakerSubject) << "who signed is known even when untrusted";
  EXPECT_TRUE(Verify("untrusted.cab", {"untrusted-anchor.pem"}).Accepted());
  ExpectRefused("expired.cab", Status::kExpired, "certificate has expired");
  ExpectRefused("serverauth.cab", Status::kWrongUsage, "lacks codeSigning");
  ExpectRefused("keyenc.cab", Status::kWrongUsage, "lacks digitalSignature");
}

TEST_F(AuthenticodeVerifierTest, TrustAnchorFiles) {
  // The machine's own bundle does not know the test root.
  ExpectRefused("maker-sha256.cab", Status::kUntrusted, "unable to get local issuer certificate", {});
  ExpectRefused("maker-sha256.cab", Status::kUntrusted, "unable to get local issuer", {"", "untrusted-anchor.pem"});
  EXPECT_TRUE(Verify("maker-sha256.cab", {"untrusted-anchor.pem", "", "anchors.pem"}).Accepted());

  ExpectRefused("maker-sha256.cab", Status::kAnchorsUnavailable, "No such file", {"nowhere.pem"});
  EXPECT_NE(Verify("maker-sha256.cab", {"nowhere.pem"}).reason.find((m_dir / "nowhere.pem").string()),
            std::string::npos);
  test::WriteFile(m_dir / "notes.pem", "no certificates in here\n");
  ExpectRefused("maker-sha256.cab", Status::kAnchorsUnavailable, "holds no usable PEM certificate",
                {"anchors.pem", "notes.pem"});
  if (geteuid() != 0) {
    std::filesystem::permissions(m_dir / "anchors.pem", std::filesystem::perms::none);
    ExpectRefused("maker-sha256.cab", Status::kAnchorsUnavailable, "Permission denied");
  }
}

TEST_F(AuthenticodeVerifierTest, TimestampsSetTheVerificationTime) {
  AuthenticodeResult r = Verify("expired-ts.cab");
  EXPECT_TRUE(r.Accepted()) << r.reason;
  EXPECT_TRUE(r.timestamped);
  EXPECT_EQ(r.verificationTime, kStamped2020);
  r = Verify("maker-ts.cab");
  EXPECT_TRUE(r.Accepted()) << r.reason;
  EXPECT_TRUE(r.timestamped);

  // A timestamp that does not hold is ignored, and the expired signer fails now.
  ExpectRefused("expired-ts-oldtsa.cab", Status::kExpired, "its timestamp was not used: time stamper");
  ExpectRefused("expired-ts-untrusted.cab", Status::kExpired, "Stranger Root CA");
  // The stamper's chain is checked against the same anchors.
  r = Verify("expired-ts-untrusted.cab", {"anchors.pem", "untrusted-anchor.pem"});
  EXPECT_TRUE(r.Accepted()) << r.reason;
  EXPECT_EQ(r.verificationTime, kStamped2020);
}

// Checked on an open file, the answer is about the bytes behind that
// descriptor: what the path shows later does not matter, and the caller's
// file offset is left where it was for whoever reads next.
TEST_F(AuthenticodeVerifierTest, AnOpenFileIsCheckedThroughItsDescriptor) {
  const std::string path = (m_dir / "update.cab").string();
  std::filesystem::copy_file(m_dir / "maker-sha256.cab", path);
  const std::string bytes = test::ReadFile(path);
  const int good = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(good, 0);
  ASSERT_EQ(lseek(good, 3, SEEK_SET), 3);
  std::filesystem::rename(m_dir / "flip-data.cab", path);  // the path now shows damaged content

  const std::vector<std::string> anchors{(m_dir / "anchors.pem").string()};
  AuthenticodeResult r;
  EXPECT_TRUE(AuthenticodeVerifier::VerifyDescriptor(good, path, anchors, r)) << r.reason;
  EXPECT_EQ(r.subject, kMakerSubject);
  EXPECT_EQ(r.cabinetLength, test::ReadU32(bytes, 8)) << "the signature covers the cabinet up to cbCabinet";
  EXPECT_LT(r.cabinetLength, bytes.size());
  EXPECT_EQ(lseek(good, 0, SEEK_CUR), 3);
  EXPECT_FALSE(AuthenticodeVerifier::Verify(path, anchors, r)) << "by name it is the damaged file";
  close(good);

  const int damaged = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(damaged, 0);
  EXPECT_FALSE(AuthenticodeVerifier::VerifyDescriptor(damaged, path, anchors, r));
  EXPECT_EQ(r.status, Status::kBadDigest) << r.reason;
  EXPECT_NE(r.reason.find(path), std::string::npos) << r.reason;
  close(damaged);
  EXPECT_FALSE(AuthenticodeVerifier::VerifyDescriptor(-1, path, anchors, r));
  EXPECT_EQ(r.status, Status::kUnreadable);
  EXPECT_EQ(LastError::Text(), r.reason);
}

}  // namespace
}  // namespace qrv::platform
