#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <string>

#include "apply/SignatureVerification.h"
#include "platform/registry/RegistryKey.h"
#include "tests/platform/trust/SignedCabinetFixtures.h"
#include "tests/support/DetachedSigner.h"
#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

using platform::RegistryKey;
using platform::RegStatus;

// The signature of update information: what the publisher makes passes, and
// each variant of the format a client must not take is refused, by the same
// rules (anchors, usage, maker) as the cabinets.
class DetachedSignatureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, "SOFTWARE\\QRV\\Shared\\QrvUpdate", m_main),
              RegStatus::kOk);
    ASSERT_EQ(m_main.SetString("TrustAnchors", (m_dir / "anchors.pem").string()), RegStatus::kOk);
  }
  std::string Sign(const std::string& signer, const std::string& bytes, const EVP_MD* digest = EVP_sha256(),
                   bool detached = true) {
    std::string error;
    std::string der = test::SignDetached(m_dir / "pki", signer, bytes, error, digest, detached);
    EXPECT_FALSE(der.empty()) << error;
    return der;
  }

  test::SandboxRoot m_root;
  std::filesystem::path m_dir = test::SignedCabinetFixtures::CopyTo(m_root / "fixtures");
  RegistryKey m_main;
};

TEST_F(DetachedSignatureTest, OnlyTheMakersDetachedSignatureOverTheVeryBytesPasses) {
  const std::string info = "[Release]\r\nSerial=7\r\n";
  const std::string good = Sign("maker", info);
  const struct {
    const char* name;
    std::string content;
    std::string signature;
    int result;
    const char* why;  // part of the reason
  } cases[] = {
      {"the publisher's form", info, good, 1, ""},
      {"line ends changed", "[Release]\nSerial=7\n", good, 0, "does not match its signature"},
      {"one more byte", info + " ", good, 0, "does not match its signature"},
      {"bytes after the signature", info, good + std::string(1, '\0'), 0, "not one DER CMS structure"},
      {"no signature", info, "", 0, "is no signature"},
      {"content carried inside", info, Sign("maker", info, EVP_sha256(), false), 0, "carries its own content"},
      {"SHA-1", info, Sign("maker", info, EVP_sha1()), 0, "is not accepted"},
      {"the maker's organisation, another name", info, Sign("othercn", info), 0, "which is not the maker"},
      {"the maker's name from an unknown root", info, Sign("untrusted", info), 0, "certificate chain"},
      {"an expired certificate", info, Sign("expired", info), 0, "certificate has expired"},
      {"a server certificate", info, Sign("serverauth", info), 0, "not meant for code signing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string reason = "stale";
    std::string subject;
    EXPECT_EQ(VerifyDetachedSignature(c.content, c.signature, "/dl/qupdate_s.ini", &reason, &subject), c.result);
    if (c.result == 1) {
      EXPECT_EQ(reason, "");
      EXPECT_NE(subject.find("O=\"QORVANE. INC, Ltd\""), std::string::npos) << subject;
    } else {
      EXPECT_NE(reason.find(c.why), std::string::npos) << reason;
    }
  }
}

TEST_F(DetachedSignatureTest, TheTrustAnchorsSettingDecidesWhichRootCounts) {
  const std::string info = "[Release]\r\nSerial=7\r\n";
  const std::string good = Sign("maker", info);
  ASSERT_EQ(m_main.SetString("TrustAnchors", (m_dir / "untrusted-anchor.pem").string()), RegStatus::kOk);
  std::string reason;
  EXPECT_EQ(VerifyDetachedSignature(info, good, "/dl/qupdate_s.ini", &reason, nullptr), 0);
  ASSERT_EQ(m_main.SetString("TrustAnchors", (m_dir / "missing.pem").string()), RegStatus::kOk);
  EXPECT_EQ(VerifyDetachedSignature(info, good, "/dl/qupdate_s.ini", &reason, nullptr), 0);
  EXPECT_NE(reason.find("missing.pem"), std::string::npos) << reason;
}

}  // namespace
}  // namespace qrv
