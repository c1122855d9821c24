#include "config/StoredPassword.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "config/CQUpdateUtilCoderHexEn.h"
#include "platform/crypto/Md5Digest.h"
#include "platform/crypto/Rc2Cipher.h"

namespace qrv {
namespace {

using platform::Rc2Cipher;

std::string Encrypt(const std::string& plain) {
  std::string hex, error;
  EXPECT_TRUE(EncryptPassword(plain, hex, &error)) << error;
  return hex;
}

std::string Decrypt(const std::string& hex) {
  std::string plain, error;
  EXPECT_TRUE(DecryptPassword(hex, plain, &error)) << hex << ": " << error;
  return plain;
}

platform::Md5Digest::Value OldKeyDigest() {
  platform::Md5Digest::Value digest;
  EXPECT_TRUE(platform::Md5Digest::Compute("64075318", 8, digest));
  return digest;
}

// Cipher text as an old installation's 40-bit key (5 digest bytes, 11 zero
// bytes, 40 effective bits) would have stored it.
std::vector<uint8_t> Encrypt40(const std::string& plain, bool strong = false) {
  const auto digest = OldKeyDigest();
  std::vector<uint8_t> key(digest.begin(), digest.end());
  if (!strong) std::fill(key.begin() + 5, key.end(), 0);
  Rc2Cipher cipher;
  std::vector<uint8_t> out;
  EXPECT_TRUE(cipher.Init(Rc2Cipher::Direction::kEncrypt, key.data(), key.size(), strong ? 128 : 40));
  EXPECT_TRUE(cipher.Process(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), true, out));
  return out;
}

bool StrongKeyAcceptsPadding(const std::vector<uint8_t>& cipherText) {
  const auto digest = OldKeyDigest();
  Rc2Cipher cipher;
  std::vector<uint8_t> out;
  EXPECT_TRUE(cipher.Init(Rc2Cipher::Direction::kDecrypt, digest.data(), 16, 128));
  return cipher.Process(cipherText.data(), cipherText.size(), true, out);
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  CQUpdateUtilCoderHexEn hex(true);
  hex.Put(bytes.data(), bytes.size());
  hex.End();
  return hex.GetText();
}

TEST(StoredPasswordTest, KnownAnswersAndTheForgivingReader) {
  EXPECT_EQ(Encrypt(""), "F7C7E048D765DAC8");
  EXPECT_EQ(Encrypt("a"), "F8BEF3C4CCC60923");
  EXPECT_EQ(Encrypt("password"), "2DEB5FBFB39B3BF0AEA43CACD5BC03B0");

  EXPECT_EQ(Decrypt("2deb5fbfb39b3bf0aea43cacd5bc03b0"), "password");
  EXPECT_EQ(Decrypt(" 2D-EB:5F bf\r\nB39B3BF0 AEA43CAC D5BC03B0\n"), "password");
  EXPECT_EQ(Decrypt("F8BEF3C4CCC60923F"), "a");  // odd last digit dropped
  EXPECT_EQ(Decrypt("F7C7E048D765DAC8"), "");
}

TEST(StoredPasswordTest, EveryLengthRoundTripsAtTheExpectedTextLength) {
  std::mt19937 rng(260);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 255; ++n) lengths.push_back(n);
  for (size_t n : {999u, 1000u, 1001u, 2047u, 5000u}) lengths.push_back(n);  // several chunks
  for (size_t n : lengths) {
    std::string plain(n, '\0');
    for (auto& c : plain) c = static_cast<char>(1 + rng() % 255);  // any byte but NUL
    const std::string hex = Encrypt(plain);
    EXPECT_EQ(hex.size(), 16 * (n / 8 + 1)) << n;
    EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos) << n;
    EXPECT_EQ(Decrypt(hex), plain) << n;
  }
}

TEST(StoredPasswordTest, ValuesOfOld40BitInstallationsStillRead) {
  for (const std::string plain : {"", "a", "secret", "exactly8", "Pa$$w0rd with spaces"}) {
    const auto cipher = Encrypt40(plain);
    if (StrongKeyAcceptsPadding(cipher)) continue;  // covered below
    EXPECT_EQ(Decrypt(Hex(cipher)), plain);
  }

  // About one 40-bit value in 256 also has valid padding under the 128-bit
  // key; its garbage reading must not win over the real password.
  int lucky = 0;
  for (int i = 0; i < 5000 && lucky < 3; ++i) {
    const std::string plain = "user" + std::to_string(i);
    const auto cipher = Encrypt40(plain);
    if (!StrongKeyAcceptsPadding(cipher)) continue;
    ++lucky;
    EXPECT_EQ(Decrypt(Hex(cipher)), plain);
  }
  EXPECT_EQ(lucky, 3) << "no 40-bit value with valid 128-bit padding found";

  // The plain text ends at the first NUL, as the stored C strings did.
  EXPECT_EQ(Decrypt(Hex(Encrypt40(std::string("ab\0cd", 5), true))), "ab");
  EXPECT_EQ(Decrypt(Hex(Encrypt40(std::string("ab\0cd", 5)))), "ab");
}

TEST(StoredPasswordTest, BadInputFailsWithEmptyOutputAndAReason) {
  struct Case {
    std::string text;
    const char* reason;
  };
  std::string corrupted = Encrypt("password");
  corrupted[corrupted.size() - 1] = corrupted.back() == '0' ? '1' : '0';
  const Case cases[] = {
      {"", "empty"},
      {"xyz-+=", "no hexadecimal digits"},
      {"A", "no hexadecimal digits"},
      {"ABC", "1 bytes are not a whole number"},
      {"F7C7E048D765DAC8F7C7E048", "12 bytes are not a whole number"},
      {corrupted, "bad padding"},
  };
  for (const auto& c : cases) {
    std::string plain = "left over", error;
    EXPECT_FALSE(DecryptPassword(c.text, plain, &error)) << c.text;
    EXPECT_TRUE(plain.empty()) << c.text;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << ": " << error;
  }
  std::string plain, error;
  EXPECT_FALSE(DecryptPassword(corrupted, plain, &error));
  EXPECT_NE(error.find("does not decrypt"), std::string::npos) << error;
  EXPECT_NE(error.find(corrupted.substr(0, 16)), std::string::npos) << error;
  EXPECT_NE(error.find("40-bit"), std::string::npos) << error;
  EXPECT_FALSE(DecryptPassword(corrupted, plain)) << "no error pointer is fine too";

  std::string hex = "left over";
  EXPECT_FALSE(EncryptPassword(std::string("pa\0ss", 5), hex, &error));
  EXPECT_TRUE(hex.empty());
  EXPECT_NE(error.find("NUL byte at offset 2"), std::string::npos) << error;
  EXPECT_TRUE(EncryptPassword("ok", hex, &error));
  EXPECT_TRUE(error.empty());
}

}  // namespace
}  // namespace qrv
