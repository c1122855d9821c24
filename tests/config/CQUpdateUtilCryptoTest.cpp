#include "config/CQUpdateUtilCrypto.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "config/CQUpdateUtilCryptoDecryptor.h"
#include "config/CQUpdateUtilCryptoEncryptor.h"
#include "platform/crypto/Md5Digest.h"
#include "platform/crypto/Rc2Cipher.h"

namespace qrv {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr CryptoAlgorithm kRc2{kCalgRc2, 8};

Bytes Random(std::mt19937& rng, size_t n) {
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

std::vector<size_t> BlockSizes(const CQUpdateUtilCrypto& c) {
  std::vector<size_t> sizes;
  for (const auto& b : c.Blocks()) sizes.push_back(b.size());
  return sizes;
}

TEST(CQUpdateUtilCryptoTest, ChunksAreWholeBlocksAndOnlyTheLastIsFinal) {
  CQUpdateUtilCryptoEncryptor en("phrase", kRc2);
  ASSERT_TRUE(en.IsReady()) << en.Error();
  EXPECT_EQ(CQUpdateUtilCryptoEncryptor("p", {kCalgRc2, 3}).ChunkSize(), 999u) << "whole blocks of 3";

  std::mt19937 rng(5);
  // A chunk ending exactly at the end of the data is the final one: no empty
  // extra block, and the padding block lands in it.
  const std::pair<size_t, std::vector<size_t>> shapes[] = {
      {0, {8}},
      {999, {1000}},
      {1000, {1008}},
      {1001, {1000, 8}},
      {2000, {1000, 1008}},
      {2500, {1000, 1000, 504}},
  };
  for (const auto& [length, sizes] : shapes) {
    const Bytes plain = Random(rng, length);
    ASSERT_TRUE(en.Process(plain.data(), plain.size())) << en.Error();
    EXPECT_EQ(BlockSizes(en), sizes) << length;
    EXPECT_EQ(en.Length(), en.Join().size());

    // Chunking must not change a byte compared with one whole-message call.
    platform::Md5Digest::Value key;
    ASSERT_TRUE(platform::Md5Digest::Compute("phrase", 6, key));
    platform::Rc2Cipher whole;
    ASSERT_TRUE(whole.Init(platform::Rc2Cipher::Direction::kEncrypt, key.data(), 16, 128));
    Bytes expected;
    ASSERT_TRUE(whole.Process(plain.data(), plain.size(), true, expected));
    EXPECT_EQ(en.Join(), expected) << length;

    CQUpdateUtilCryptoDecryptor de("phrase", kRc2);
    ASSERT_TRUE(de.Process(expected.data(), expected.size())) << de.Error();
    EXPECT_EQ(de.Join(), plain) << length;
  }
}

TEST(CQUpdateUtilCryptoTest, FailuresAreReportedAndLeaveNoOutput) {
  // Only RC2 is built; the default pair names RC4.
  CQUpdateUtilCryptoEncryptor rc4("phrase", {kCalgRc4, 1});
  EXPECT_FALSE(rc4.IsReady());
  EXPECT_NE(rc4.Error().find("0x6801"), std::string::npos) << rc4.Error();
  EXPECT_FALSE(rc4.ProcessText("data"));
  EXPECT_NE(rc4.Error().find("no key"), std::string::npos) << rc4.Error();
  EXPECT_EQ(rc4.Length(), 0u);

  CQUpdateUtilCryptoEncryptor en("phrase", kRc2);
  ASSERT_TRUE(en.ProcessText(std::string(1500, 'p')));
  Bytes cipher = en.Join();
  cipher.back() ^= 1;

  CQUpdateUtilCryptoDecryptor de("phrase", kRc2);
  EXPECT_FALSE(de.Process(cipher.data(), cipher.size()));
  EXPECT_NE(de.Error().find("bad padding"), std::string::npos) << de.Error();
  EXPECT_TRUE(de.Blocks().empty()) << "the first chunk's plain text must not remain";
  EXPECT_EQ(de.Length(), 0u);
  EXPECT_FALSE(de.IsReady()) << "a failed call releases the key";
  EXPECT_FALSE(de.ProcessText("12345678"));
  EXPECT_NE(de.Error().find("bad padding"), std::string::npos) << "keeps the cause: " << de.Error();

  cipher.back() ^= 1;
  ASSERT_TRUE(de.DeriveKey("phrase"));
  ASSERT_TRUE(de.Process(cipher.data(), cipher.size())) << de.Error();
  EXPECT_EQ(de.Join(), Bytes(1500, 'p'));
  EXPECT_TRUE(de.Error().empty());

  EXPECT_FALSE(de.Process(cipher.data(), 1001));
  EXPECT_NE(de.Error().find("1001 bytes"), std::string::npos) << de.Error();
}

}  // namespace
}  // namespace qrv
