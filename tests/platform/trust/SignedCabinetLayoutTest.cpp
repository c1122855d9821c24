// Byte surgery on a good signed cabinet: every header byte the digest skips
// and the bytes around the signature must be checked by the layout rules.
#include <gtest/gtest.h>

#include <string>

#include "platform/trust/AuthenticodeVerifier.h"
#include "tests/platform/trust/SignedCabinetFixtures.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

using Status = AuthenticodeResult::Status;

class SignedCabinetLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_good = test::ReadFile(m_dir / "maker-sha256.cab");
    ASSERT_GT(m_good.size(), 60u);
    m_offset = test::ReadU32(m_good, 44);
    // 30 82 hi lo: the DER length of the PKCS#7 without osslsigncode's padding
    m_der = 4 + static_cast<size_t>(static_cast<uint8_t>(m_good[m_offset + 2])) * 256 +
            static_cast<uint8_t>(m_good[m_offset + 3]);
  }
  // The signed cabinet with the signature area replaced by the DER and
  // `padding`, the length field following.
  std::string WithPadding(const std::string& padding) {
    std::string bytes = m_good.substr(0, m_offset + m_der) + padding;
    test::WriteU32(bytes, 48, static_cast<uint32_t>(m_der + padding.size()));
    return bytes;
  }
  AuthenticodeResult Verify(const std::string& bytes) {
    test::WriteFile(m_dir / "edited.cab", bytes);
    AuthenticodeResult r;
    AuthenticodeVerifier::Verify((m_dir / "edited.cab").string(), {(m_dir / "anchors.pem").string()}, r);
    return r;
  }
  void Expect(const std::string& bytes, Status status, const std::string& fragment, const char* what) {
    AuthenticodeResult r = Verify(bytes);
    EXPECT_EQ(AuthenticodeResult::StatusName(r.status), std::string(AuthenticodeResult::StatusName(status)))
        << what << ": " << r.reason;
    EXPECT_NE(r.reason.find(fragment), std::string::npos) << what << ": " << r.reason;
  }
  std::string Patched(size_t offset, char value) {
    std::string bytes = m_good;
    bytes.at(offset) = value;
    return bytes;
  }

  test::SandboxRoot m_root;
  std::filesystem::path m_dir = test::SignedCabinetFixtures::CopyTo(m_root / "fixtures");
  std::string m_good;
  size_t m_offset = 0;
  size_t m_der = 0;
};

TEST_F(SignedCabinetLayoutTest, OnlyZeroPaddingBelowEightBytesMayFollowTheSignature) {
  EXPECT_TRUE(Verify(WithPadding("")).Accepted()) << "an exact length, as other signing tools write it";
  EXPECT_TRUE(Verify(WithPadding(std::string(7, '\0'))).Accepted());
  Expect(WithPadding(std::string(8, '\0')), Status::kMalformed, "8 bytes follow the", "eight zero bytes");
  Expect(WithPadding(std::string(3, '\0') + '\x01'), Status::kMalformed, "padding byte 3 after the signature is not zero",
         "non-zero padding");
  // bytes beyond the recorded length
  Expect(WithPadding("") + "x", Status::kMalformed, "1 bytes follow the signature", "one byte appended");
}

TEST_F(SignedCabinetLayoutTest, HeaderBytesOutsideTheDigestMustHoldTheirOneValue) {
  Expect(Patched(34, 1), Status::kMalformed, "cabinet number 1", "iCabinet");
  Expect(Patched(52, 7), Status::kMalformed, "bytes 52..55 hold 0x00000007", "filler");
  Expect(Patched(30, static_cast<char>(m_good[30] | 1)), Status::kMalformed, "continues an earlier one",
         "previous-cabinet flag");
  Expect(Patched(36, 24), Status::kNotSigned, "not a signature's", "cbCFHeader");
  Expect(Patched(38, 4), Status::kNotSigned, "not a signature's", "cbCFFolder");
  Expect(Patched(42, 0x11), Status::kNotSigned, "not a signature's", "reserve lengths");
  // bytes the digest covers: the filler's second half and the header fields
  Expect(Patched(57, 1), Status::kBadDigest, "does not match", "covered filler");
  Expect(Patched(24, 9), Status::kBadDigest, "does not match", "version");
  std::string bytes = m_good;
  test::WriteU32(bytes, 48, 0);
  Expect(bytes, Status::kNotSigned, "empty signature entry", "zero length");
  bytes = m_good;
  test::WriteU32(bytes, 48, 64u << 20);
  Expect(bytes, Status::kMalformed, "exceeds the limit", "huge length");
  bytes = m_good;
  test::WriteU32(bytes, 16, test::ReadU32(bytes, 16) + 8);
  Expect(bytes, Status::kMalformed, "file table offset", "coffFiles");
}

TEST_F(SignedCabinetLayoutTest, EveryFlippedHeaderByteIsRefused) {
  // Whatever the first 60 bytes hold, a change is either caught by the
  // layout rules or by the digest; it is never accepted.
  for (size_t offset = 0; offset < 60; ++offset) {
    std::string bytes = Patched(offset, static_cast<char>(m_good[offset] ^ 0x5A));
    AuthenticodeResult r = Verify(bytes);
    EXPECT_FALSE(r.Accepted()) << "byte " << offset;
    EXPECT_FALSE(r.reason.empty()) << "byte " << offset;
  }
}

}  // namespace
}  // namespace qrv::platform
