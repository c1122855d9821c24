#include "config/CQUpdateUtilCoder.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>

#include "config/CQUpdateUtilCoderBase64De.h"
#include "config/CQUpdateUtilCoderBase64En.h"
#include "config/CQUpdateUtilCoderException.h"
#include "config/CQUpdateUtilCoderHexDe.h"
#include "config/CQUpdateUtilCoderHexEn.h"
#include "config/CQUpdateUtilCoderURLDe.h"
#include "config/CQUpdateUtilCoderURLEn.h"

namespace qrv {
namespace {

// Feeds the text in the given pieces (none may be empty), ends, and fetches
// the output through Get the way callers do.
std::string Code(CQUpdateUtilCoder& coder, std::initializer_list<std::string> pieces) {
  for (const auto& piece : pieces) coder.PutText(piece);
  coder.End();
  std::string out(coder.GetLength(), '\0');
  EXPECT_EQ(coder.Get(reinterpret_cast<uint8_t*>(out.data())), out.size());
  EXPECT_EQ(coder.GetLength(), 0u);
  return out;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

TEST(CQUpdateUtilCoderTest, HexEncodesAndDecodesSkippingJunk) {
  CQUpdateUtilCoderHexEn upper(true), lower(false);
  EXPECT_EQ(Code(upper, {Bytes({0x00, 0xAB, 0xFF})}), "00ABFF");
  EXPECT_EQ(Code(lower, {Bytes({0x00, 0xAB, 0xFF})}), "00abff");

  CQUpdateUtilCoderHexDe de;
  EXPECT_EQ(Code(de, {"0a:B"}), Bytes({0x0A}));        // colon skipped, lone B dropped
  EXPECT_EQ(Code(de, {"4", "1", "6"}), "A");           // a pair may span calls
  EXPECT_EQ(Code(de, {"c"}), "");                      // End dropped the last lone digit...
  EXPECT_EQ(Code(de, {"0x7f FF-Zz"}), Bytes({0x07, 0xFF}));  // ...so it never pairs on
}

TEST(CQUpdateUtilCoderTest, Base64GroupsPaddingAndLineBreaks) {
  CQUpdateUtilCoderBase64En en(false);
  EXPECT_EQ(Code(en, {"abc"}), "YWJj");
  EXPECT_EQ(Code(en, {"ab"}), "YWI=");
  EXPECT_EQ(Code(en, {"a"}), "YQ==");
  EXPECT_EQ(Code(en, {"a", "b", "c", "d"}), "YWJjZA==");

  // 54 bytes fill exactly one 72-character line.
  const std::string line(54, 'x');
  const std::string full = Code(en, {line});
  ASSERT_EQ(full.size(), 72u);
  EXPECT_EQ(full.find('\n'), std::string::npos);
  EXPECT_EQ(Code(en, {line + line + "x"}), full + full + "eA==");

  CQUpdateUtilCoderBase64En broken(true);
  EXPECT_EQ(Code(broken, {line}), full + "\n");
  EXPECT_EQ(Code(broken, {line + "x"}), full + "\neA==\n");
  EXPECT_EQ(Code(broken, {"abc"}), "YWJj\n");

  CQUpdateUtilCoderBase64De de;
  EXPECT_EQ(Code(de, {"YW", "Jj\r\n", "ZA=="}), "abcd");
  EXPECT_EQ(Code(de, {"Y W*I=!"}), "ab");  // junk and "=" skipped, 3 values -> 2 bytes
  EXPECT_EQ(Code(de, {"YQ"}), "a");        // 2 values -> 1 byte
  EXPECT_EQ(Code(de, {"Y"}), "`");         // 1 value, completed with zero bits
  EXPECT_EQ(Code(de, {full + "\n" + full + "\n"}), line + line);
}

TEST(CQUpdateUtilCoderTest, UrlEncodingAndDecoding) {
  CQUpdateUtilCoderURLEn upper(true), lower(false);
  EXPECT_EQ(Code(upper, {"a b/c"}), "a+b%2Fc");
  EXPECT_EQ(Code(lower, {Bytes({0xAB})}), "%ab");
  EXPECT_EQ(Code(upper, {"Az09.@_-~" + Bytes({0})}), "Az09.@%5F%2D%7E%00");

  CQUpdateUtilCoderURLDe de;
  EXPECT_EQ(Code(de, {"a+b%2Fc%2f"}), "a b/c/");
  EXPECT_EQ(Code(de, {"x%", "4", "1y"}), "xAy");  // an escape may span calls
  EXPECT_EQ(Code(de, {"%E2%82%AC"}), "\xE2\x82\xAC");
  // An escape takes the next two characters whatever they are and yields a
  // byte only from two digits.
  EXPECT_EQ(Code(de, {"a%zzb"}), "ab");
  EXPECT_EQ(Code(de, {"a%4zb"}), "ab");
  EXPECT_EQ(Code(de, {"%%41"}), "1");
  EXPECT_EQ(Code(de, {"%+"}), "");
  // Cut short by the end of the input: dropped, and nothing is read past it.
  EXPECT_EQ(Code(de, {"100%"}), "100");
  EXPECT_EQ(Code(de, {"ab%4"}), "ab");
  EXPECT_EQ(Code(de, {"41"}), "41");  // the dropped "%4" left nothing pending
}

TEST(CQUpdateUtilCoderTest, ZeroLengthPutAndNullGetThrowWithTheirTexts) {
  using Make = std::function<std::unique_ptr<CQUpdateUtilCoder>()>;
  const std::pair<const char*, Make> coders[] = {
      {"Base64En", [] { return std::make_unique<CQUpdateUtilCoderBase64En>(true); }},
      {"Base64De", [] { return std::make_unique<CQUpdateUtilCoderBase64De>(); }},
      {"HexEn", [] { return std::make_unique<CQUpdateUtilCoderHexEn>(true); }},
      {"HexDe", [] { return std::make_unique<CQUpdateUtilCoderHexDe>(); }},
      {"URLEn", [] { return std::make_unique<CQUpdateUtilCoderURLEn>(false); }},
      {"URLDe", [] { return std::make_unique<CQUpdateUtilCoderURLDe>(); }},
  };
  for (const auto& [name, make] : coders) {
    auto coder = make();
    const uint8_t byte = 'a';
    try {
      coder->Put(&byte, 0);
      ADD_FAILURE() << "no exception for " << name;
    } catch (const CQUpdateUtilCoderException& e) {
      EXPECT_EQ(e.what(), "CQUpdateUtilCoder" + std::string(name) + "::Put() -- 0 length received");
    }
    EXPECT_THROW(coder->PutText(""), CQUpdateUtilCoderException);
    EXPECT_THROW(coder->Put(nullptr, 3), CQUpdateUtilCoderException);
    coder->PutText("77");
    coder->End();
    ASSERT_GT(coder->GetLength(), 0u);
    try {
      coder->Get(nullptr);
      ADD_FAILURE() << "no exception from Get(nullptr)";
    } catch (const CQUpdateUtilCoderException& e) {
      EXPECT_STREQ(e.what(), "CQUpdateUtilCoder::Get() -- parameter required non-null value");
    }
    EXPECT_GT(coder->GetLength(), 0u) << "a refused Get must not lose the output";
  }
}

TEST(CQUpdateUtilCoderTest, RandomDataSurvivesEveryPairSplitAnywhere) {
  std::mt19937 rng(1000);
  // Feeds text in random pieces to a coder and returns its whole output.
  auto feed = [&rng](CQUpdateUtilCoder&& coder, const std::string& text) {
    for (size_t at = 0; at < text.size();) {
      const size_t n = std::min<size_t>(text.size() - at, 1 + rng() % 9);
      coder.PutText(std::string_view(text).substr(at, n));
      at += n;
    }
    coder.End();
    return coder.GetText();
  };
  for (size_t length : {1u, 2u, 3u, 53u, 54u, 55u, 500u}) {
    std::string data(length, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    for (bool flag : {true, false}) {
      EXPECT_EQ(feed(CQUpdateUtilCoderHexDe(), feed(CQUpdateUtilCoderHexEn(flag), data)), data) << length;
      EXPECT_EQ(feed(CQUpdateUtilCoderBase64De(), feed(CQUpdateUtilCoderBase64En(flag), data)), data) << length;
      EXPECT_EQ(feed(CQUpdateUtilCoderURLDe(), feed(CQUpdateUtilCoderURLEn(flag), data)), data) << length;
    }
  }

  // Coders handed one queue write into it in turn.
  CQUpdateUtilCoder::Queue queue;
  CQUpdateUtilCoderHexEn hex(true, &queue);
  CQUpdateUtilCoderURLEn url(true, &queue);
  hex.PutText("A");
  url.PutText(" ");
  EXPECT_EQ(hex.GetLength(), 3u);
  EXPECT_EQ(url.GetText(), "41+");
  EXPECT_TRUE(queue.empty());
}

}  // namespace
}  // namespace qrv
