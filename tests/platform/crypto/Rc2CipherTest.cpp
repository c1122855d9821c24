#include "platform/crypto/Rc2Cipher.h"

#include <gtest/gtest.h>
#include <nettle/arctwo.h>
#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/core/LastError.h"
#include "platform/crypto/Md5Digest.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

using Bytes = std::vector<uint8_t>;
using Dir = Rc2Cipher::Direction;

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes Random(std::mt19937& rng, size_t n) {
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// CBC with a zero IV and PKCS#5 padding over nettle's RC2 block function.
Bytes NettleEncrypt(const Bytes& key, unsigned bits, Bytes plain) {
  arctwo_ctx ctx;
  arctwo_set_key_ekb(&ctx, key.size(), key.data(), bits);
  const size_t pad = 8 - plain.size() % 8;
  plain.insert(plain.end(), pad, static_cast<uint8_t>(pad));
  Bytes out(plain.size());
  uint8_t chain[8] = {};
  for (size_t at = 0; at < plain.size(); at += 8) {
    for (size_t i = 0; i < 8; ++i) chain[i] ^= plain[at + i];
    arctwo_encrypt(&ctx, 8, chain, chain);
    std::copy(chain, chain + 8, out.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return out;
}

Bytes OneShot(Dir dir, const Bytes& key, unsigned bits, const Bytes& in, bool* ok = nullptr) {
  Rc2Cipher cipher;
  Bytes out;
  bool done = cipher.Init(dir, key.data(), key.size(), bits) &&
              cipher.Process(in.data(), in.size(), true, out);
  if (ok != nullptr) {
    *ok = done;
  } else {
    EXPECT_TRUE(done) << LastError::Text();
  }
  return out;
}

TEST(Rc2CipherTest, FirstBlockMatchesPublishedRc2Vectors) {
  // With a zero IV the first CBC block is the plain block cipher, so the
  // published RC2 vectors (which include odd effective-bit counts) apply.
  struct Vector {
    const char* key;
    unsigned bits;
    const char* plain;
    const char* cipher;
  } vectors[] = {
      {"0000000000000000", 63, "0000000000000000", "ebb773f993278eff"},
      {"ffffffffffffffff", 64, "ffffffffffffffff", "278b27e42e2f0d49"},
      {"3000000000000000", 64, "1000000000000001", "30649edf9be7d2c2"},
      {"88bca90e90875a7f0f79c384627bafb2", 64, "0000000000000000", "1a807d272bbe5db1"},
      {"88bca90e90875a7f0f79c384627bafb2", 128, "0000000000000000", "2269552ab0f85ca6"},
  };
  for (const auto& v : vectors) {
    Bytes out = OneShot(Dir::kEncrypt, FromHex(v.key), v.bits, FromHex(v.plain));
    ASSERT_EQ(out.size(), 16u) << v.key;
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), FromHex(v.cipher)) << v.key << "/" << v.bits;
  }
}

TEST(Rc2CipherTest, AgreesWithNettleAcrossKeysBitsAndLengths) {
  std::mt19937 rng(2268);
  Md5Digest::Value digest;
  ASSERT_TRUE(Md5Digest::Compute("64075318", 8, digest));
  Bytes strong(digest.begin(), digest.end());
  Bytes base(digest.begin(), digest.begin() + 5);
  base.resize(16, 0);  // 5 key bytes and 11 zero bytes of salt

  struct Case {
    Bytes key;
    unsigned bits;
  };
  std::vector<Case> cases = {{strong, 128}, {base, 40}, {Random(rng, 1), 8},
                             {Random(rng, 5), 40}, {Random(rng, 128), 1024}};
  for (int i = 0; i < 20; ++i) {
    cases.push_back({Random(rng, 1 + rng() % 128), static_cast<unsigned>(1 + rng() % 1024)});
  }
  for (const auto& c : cases) {
    for (size_t length : {0u, 1u, 7u, 8u, 9u, 63u, 64u, 1001u}) {
      const Bytes plain = Random(rng, length);
      const Bytes expected = NettleEncrypt(c.key, c.bits, plain);
      const Bytes cipher = OneShot(Dir::kEncrypt, c.key, c.bits, plain);
      EXPECT_EQ(cipher, expected) << c.key.size() << " key bytes, " << c.bits << " bits, "
                                  << length << " bytes";
      EXPECT_EQ(OneShot(Dir::kDecrypt, c.key, c.bits, expected), plain);
    }
  }
}

TEST(Rc2CipherTest, SplittingAMessageOverCallsChangesNoByte) {
  std::mt19937 rng(7);
  const Bytes key = Random(rng, 16);
  for (size_t length : {0u, 5u, 8u, 16u, 100u, 1000u, 2049u}) {
    const Bytes plain = Random(rng, length);
    const Bytes cipher = OneShot(Dir::kEncrypt, key, 128, plain);
    for (int trial = 0; trial < 5; ++trial) {
      for (Dir dir : {Dir::kEncrypt, Dir::kDecrypt}) {
        const Bytes& in = dir == Dir::kEncrypt ? plain : cipher;
        Rc2Cipher c;
        ASSERT_TRUE(c.Init(dir, key.data(), key.size(), 128));
        Bytes out;
        size_t at = 0;
        while (at < in.size() && rng() % 4 != 0) {
          const size_t n = std::min<size_t>(in.size() - at, rng() % 40);
          ASSERT_TRUE(c.Process(in.data() + at, n, false, out)) << LastError::Text();
          at += n;
        }
        ASSERT_TRUE(c.Process(in.data() + at, in.size() - at, true, out)) << LastError::Text();
        EXPECT_EQ(out, dir == Dir::kEncrypt ? cipher : plain) << length << " bytes";
      }
    }
  }

  // Decrypting, a non-final call keeps back the block that may be padding.
  const Bytes plain = Random(rng, 16);
  const Bytes cipher = OneShot(Dir::kEncrypt, key, 128, plain);  // 24 bytes
  Rc2Cipher d;
  ASSERT_TRUE(d.Init(Dir::kDecrypt, key.data(), key.size(), 128));
  Bytes out;
  ASSERT_TRUE(d.Process(cipher.data(), 16, false, out));
  EXPECT_EQ(out, Bytes(plain.begin(), plain.begin() + 8));
  ASSERT_TRUE(d.Process(cipher.data() + 16, 8, true, out));
  EXPECT_EQ(out, plain);

  // A final call starts the next message from the IV again.
  Rc2Cipher e;
  ASSERT_TRUE(e.Init(Dir::kEncrypt, key.data(), key.size(), 128));
  Bytes first, second;
  ASSERT_TRUE(e.Process(plain.data(), plain.size(), true, first));
  ASSERT_TRUE(e.Process(plain.data(), plain.size(), true, second));
  EXPECT_EQ(first, cipher);
  EXPECT_EQ(second, cipher);
}

TEST(Rc2CipherTest, BadCipherTextFailsWithItsValuesAndAppendsNothing) {
  std::mt19937 rng(11);
  const Bytes key = Random(rng, 16);
  const Bytes plain = Random(rng, 20);
  const Bytes good = OneShot(Dir::kEncrypt, key, 128, plain);

  Rc2Cipher d;
  ASSERT_TRUE(d.Init(Dir::kDecrypt, key.data(), key.size(), 128));
  const Bytes before = {1, 2, 3};
  Bytes out = before;

  Bytes flipped = good;
  flipped.back() ^= 0x5A;  // garbles the whole last plain block
  EXPECT_FALSE(d.Process(flipped.data(), flipped.size(), true, out));
  EXPECT_NE(LastError::Text().find("bad padding"), std::string::npos) << LastError::Text();
  EXPECT_EQ(out, before);

  EXPECT_FALSE(d.Process(good.data(), 13, true, out));
  EXPECT_NE(LastError::Text().find("13 bytes"), std::string::npos) << LastError::Text();
  EXPECT_EQ(out, before);

  // Spread over calls, the held-back block must not leak out on failure.
  EXPECT_TRUE(d.Process(flipped.data(), 16, false, out));
  EXPECT_FALSE(d.Process(flipped.data() + 16, 8, true, out));
  EXPECT_EQ(out.size(), before.size() + 8);

  EXPECT_FALSE(d.Process(nullptr, 0, true, out));
  EXPECT_NE(LastError::Text().find("empty"), std::string::npos) << LastError::Text();

  // Each failure ended its message; the next one decrypts cleanly.
  out.clear();
  EXPECT_TRUE(d.Process(good.data(), good.size(), true, out)) << LastError::Text();
  EXPECT_EQ(out, plain);
}

TEST(Rc2CipherTest, RefusesKeysAndBitsOutsideRc2AndUseWithoutKey) {
  Rc2Cipher c;
  Bytes out;
  const Bytes big(129, 1);
  EXPECT_FALSE(c.Process(big.data(), 8, true, out));
  EXPECT_NE(LastError::Text().find("without a key"), std::string::npos);

  EXPECT_FALSE(c.Init(Dir::kEncrypt, big.data(), 0, 128));
  EXPECT_NE(LastError::Text().find("0 bytes"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(c.Init(Dir::kEncrypt, big.data(), big.size(), 128));
  EXPECT_NE(LastError::Text().find("129 bytes"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(c.Init(Dir::kEncrypt, big.data(), 16, 0));
  EXPECT_NE(LastError::Text().find("0 bits"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(c.Init(Dir::kEncrypt, big.data(), 16, 1025));
  EXPECT_NE(LastError::Text().find("1025 bits"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(c.IsReady());

  ASSERT_TRUE(c.Init(Dir::kEncrypt, big.data(), 16, 128));
  c.Reset();
  EXPECT_FALSE(c.Process(big.data(), 8, true, out));
  EXPECT_TRUE(out.empty());
}

// Without OpenSSL's legacy provider RC2 cannot work at all; every call must
// say so instead of crashing. The provider is loaded once per process, so
// this runs in a child process whose module folder is empty.
TEST(Rc2CipherTest, WithoutTheLegacyProviderEveryCallFailsClearly) {
  if (getenv("QRV_TEST_NO_LEGACY_CHILD") != nullptr) {
    const Bytes key(16, 7);
    Rc2Cipher c;
    for (int i = 0; i < 2; ++i) {
      EXPECT_FALSE(c.Init(Dir::kEncrypt, key.data(), key.size(), 128));
      EXPECT_NE(LastError::Text().find("legacy provider"), std::string::npos) << LastError::Text();
    }
    Bytes out;
    EXPECT_FALSE(c.Process(key.data(), key.size(), true, out));
    EXPECT_TRUE(out.empty());
    Md5Digest::Value digest;
    EXPECT_TRUE(Md5Digest::Compute("x", 1, digest)) << "MD5 must not depend on that provider";
    return;
  }
  test::SandboxRoot root;
  std::filesystem::create_directories(root / "no-modules");
  const auto self = std::filesystem::read_symlink("/proc/self/exe");
  const auto result = test::RunProcess(
      self.string(), {"--gtest_filter=Rc2CipherTest.WithoutTheLegacyProviderEveryCallFailsClearly"},
      {{"QRV_TEST_NO_LEGACY_CHILD", "1"}, {"OPENSSL_MODULES", (root / "no-modules").string()}});
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("[  PASSED  ] 1 test"), std::string::npos) << result.out;
}

}  // namespace
}  // namespace qrv::platform
