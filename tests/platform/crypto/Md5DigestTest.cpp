#include "platform/crypto/Md5Digest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace qrv::platform {
namespace {

std::string Md5Hex(const std::string& text) {
  Md5Digest::Value digest;
  EXPECT_TRUE(Md5Digest::Compute(text.data(), text.size(), digest));
  std::string hex;
  for (uint8_t b : digest) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return hex;
}

TEST(Md5DigestTest, PublishedVectorsAndThePasswordPhrase) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
  // The digest every stored-password key comes from.
  EXPECT_EQ(Md5Hex("64075318"), "685718a66642ac68982804b5659251c4");

  Md5Digest::Value digest;
  EXPECT_TRUE(Md5Digest::Compute(nullptr, 0, digest));
  EXPECT_EQ(digest[0], 0xd4);
  EXPECT_FALSE(Md5Digest::Compute(nullptr, 3, digest));
}

}  // namespace
}  // namespace qrv::platform
