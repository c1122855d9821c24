#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/core/LastError.h"
#include "platform/profile/ProfileFile.h"
#include "tests/platform/profile/ProfileTestSupport.h"

namespace qrv::test {
namespace {

using platform::LastError;
using platform::ProfileFile;

constexpr char kLookupFile[] =
    "orphan=before any section\n"
    "; leading comment\n"
    "[Main]\n"
    "Name=Alpha\n"
    "  Spaced Key   =   spaced value   \n"
    "\tTabbed\t=\tx\t\x1A\n"
    "Quoted=\"  inner  \"\n"
    "Single='single'\n"
    "Mismatch=\"abc'\n"
    "OneQuote=\"\n"
    "TwoQuotes=\"\"\n"
    "Nested=\"'a'\"\n"
    "QuoteInside=a\"b\"\n"
    "Inline=value ; not a comment\n"
    "Dup=first\n"
    "DUP=second\n"
    "NoEquals line\n"
    ";Commented=hidden\n"
    "  ; Indented=hidden too\n"
    "Empty=\n"
    "Eq=a=b\n"
    "=no name\n"
    "[Other]\n"
    "Name=Beta\n"
    "[main]\n"
    "Name=Gamma\n"
    "Extra=only in the duplicate section\n"
    "[ Spaced Section ]\n"
    "Key=v\n"
    "[a]b]\n"
    "Key=bracket\n"
    "[Tail] junk after the bracket\n"
    "Key=tail\n"
    "[Open bracket\n"
    "Key=still in Tail\n"
    "[]\n"
    "Key=nameless\n"
    "[\xC3\x84rger]\n"
    "Key=umlaut\n"
    "[[x]\n"
    "Key=open bracket\n";

class ProfileLookupTest : public ProfileTest {
 protected:
  std::string Get(std::string_view section, std::string_view key) {
    return ProfileFile::GetString(m_file, section, key, "<default>");
  }
  std::string m_file = Make("lookup.ini", kLookupFile);
};

TEST_F(ProfileLookupTest, NamesCompareWithoutCaseAndAreTrimmed) {
  EXPECT_EQ(Get("Main", "Name"), "Alpha");
  EXPECT_EQ(Get("MAIN", "name"), "Alpha");
  EXPECT_EQ(Get("  main\t", " NAME "), "Alpha");  // lookup names are trimmed too
  EXPECT_EQ(Get("main", "spaced key"), "spaced value");
  EXPECT_EQ(Get("main", "Tabbed"), "x");  // tabs and 0x1A are blanks
  EXPECT_EQ(Get("spaced section", "key"), "v");
  // ASCII letters only: no locale folding, and no bit trick that would also
  // fold '[' into '{'
  EXPECT_EQ(Get("\xC3\x84RGER", "key"), "umlaut");
  EXPECT_EQ(Get("\xC3\xA4rger", "Key"), "<default>");
  EXPECT_EQ(Get("[X", "key"), "open bracket");
  EXPECT_EQ(Get("{x", "Key"), "<default>");
}

TEST_F(ProfileLookupTest, OnePairOfMatchingOuterQuotesIsRemoved) {
  EXPECT_EQ(Get("Main", "Quoted"), "  inner  ");
  EXPECT_EQ(Get("Main", "Single"), "single");
  EXPECT_EQ(Get("Main", "Mismatch"), "\"abc'");
  EXPECT_EQ(Get("Main", "OneQuote"), "\"");  // a single character is never a pair
  EXPECT_EQ(Get("Main", "TwoQuotes"), "");
  EXPECT_EQ(Get("Main", "Nested"), "'a'");  // only one pair
  EXPECT_EQ(Get("Main", "QuoteInside"), "a\"b\"");
}

TEST_F(ProfileLookupTest, ValuesKeepSemicolonsAndEqualsSigns) {
  EXPECT_EQ(Get("Main", "Inline"), "value ; not a comment");
  EXPECT_EQ(Get("Main", "Eq"), "a=b");
}

TEST_F(ProfileLookupTest, FirstDuplicateWins) {
  EXPECT_EQ(Get("Main", "Dup"), "first");
  EXPECT_EQ(Get("Main", "dup"), "first");
  // only the first [Main] is searched: its key wins and the duplicate's own keys are invisible
  EXPECT_EQ(Get("main", "Name"), "Alpha");
  EXPECT_EQ(Get("Main", "Extra"), "<default>");
}

TEST_F(ProfileLookupTest, CommentsAndLinesWithoutEqualsAreInvisible) {
  EXPECT_EQ(Get("Main", "NoEquals line"), "<default>");
  EXPECT_EQ(Get("Main", "NoEquals"), "<default>");
  EXPECT_EQ(Get("Main", ";Commented"), "<default>");
  EXPECT_EQ(Get("Main", "Commented"), "<default>");
  EXPECT_EQ(Get("Main", "; Indented"), "<default>");
}

TEST_F(ProfileLookupTest, EmptyValueIsFoundAndNotTheDefault) {
  char buffer[16] = "sentinel";
  EXPECT_EQ(ProfileFile::GetString(m_file, "Main", "Empty", "dflt", buffer, sizeof(buffer)), 0U);
  EXPECT_STREQ(buffer, "");
}

TEST_F(ProfileLookupTest, SectionHeaders) {
  EXPECT_EQ(Get("a]b", "Key"), "bracket");        // the name runs to the LAST ']'
  EXPECT_EQ(Get("Tail", "Key"), "tail");          // text after the ']' is ignored
  EXPECT_EQ(Get("Open bracket", "Key"), "<default>");  // no ']': not a header
  EXPECT_EQ(Get("Other", "Name"), "Beta");
}

TEST_F(ProfileLookupTest, EmptyNamesAndKeysBeforeTheFirstSectionAreNeverFound) {
  EXPECT_EQ(Get("", "orphan"), "<default>");
  EXPECT_EQ(Get("", "Key"), "<default>");   // the [] section
  EXPECT_EQ(Get("Main", ""), "<default>");  // "=no name"
  EXPECT_EQ(Get("   ", "Key"), "<default>");
}

TEST_F(ProfileLookupTest, MissingSectionKeyOrFileGivesTheDefault) {
  EXPECT_EQ(Get("Nope", "Name"), "<default>");
  EXPECT_EQ(Get("Main", "Nope"), "<default>");
  LastError::Clear();
  std::string missing = PathOf("missing.ini");
  EXPECT_EQ(ProfileFile::GetString(missing, "Main", "Name", "d"), "d");
  EXPECT_NE(LastError::Text().find(missing), std::string::npos) << LastError::Text();
  EXPECT_EQ(ProfileFile::GetString(m_file, "Main", "Name", "d"), "Alpha");
  EXPECT_EQ(LastError::Text(), "") << "a successful read clears the last error";
}

TEST_F(ProfileLookupTest, Enumeration) {
  EXPECT_EQ(ProfileFile::SectionNames(m_file),
            (std::vector<std::string>{"Main", "Other", "Spaced Section", "a]b", "Tail", "\xC3\x84rger", "[x"}));
  EXPECT_EQ(ProfileFile::KeyNames(m_file, "MAIN"),
            (std::vector<std::string>{"Name", "Spaced Key", "Tabbed", "Quoted", "Single", "Mismatch", "OneQuote",
                                      "TwoQuotes", "Nested", "QuoteInside", "Inline", "Dup", "Empty", "Eq"}));
  EXPECT_EQ(ProfileFile::KeyNames(m_file, "Tail"), (std::vector<std::string>{"Key"}));
  EXPECT_TRUE(ProfileFile::KeyNames(m_file, "Nope").empty());
  EXPECT_TRUE(ProfileFile::KeyNames(m_file, "").empty());
  EXPECT_TRUE(ProfileFile::SectionNames(PathOf("missing.ini")).empty());
}

// ---------------------------------------------------------------------------
// buffers and defaults

class ProfileBufferTest : public ProfileTest {};

TEST_F(ProfileBufferTest, DefaultBufferKeeps259Bytes) {
  std::string value(300, 'x');
  value[258] = 'L';  // the last byte that fits
  std::string file = Make("long.ini", "[S]\nLong=" + value + "\nFits=" + std::string(259, 'y') + "\n");
  std::string got = ProfileFile::GetString(file, "S", "Long");
  EXPECT_EQ(got.size(), 259U);
  EXPECT_EQ(got, value.substr(0, 259));

  char buffer[ProfileFile::kDefaultBufferChars + 8];
  std::memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(ProfileFile::GetString(file, "S", "Long", "", buffer, ProfileFile::kDefaultBufferChars), 259U);
  EXPECT_EQ(buffer[258], 'L');
  EXPECT_EQ(buffer[259], '\0');
  EXPECT_EQ(buffer[260], '#') << "nothing written past the buffer";

  EXPECT_EQ(ProfileFile::GetString(file, "S", "Fits").size(), 259U);
  EXPECT_EQ(ProfileFile::GetString(file, "S", "Long", {}, 1000).size(), 300U);
}

TEST_F(ProfileBufferTest, SmallBuffers) {
  std::string file = Make("small.ini", "[S]\nK=abcdef\nQ=\"abcdef\"\n");
  char buffer[8];
  std::memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(ProfileFile::GetString(file, "S", "K", "", buffer, 0), 0U);
  EXPECT_EQ(buffer[0], '#') << "size 0 writes nothing";
  EXPECT_EQ(ProfileFile::GetString(file, "S", "K", "", nullptr, 5), 0U);
  EXPECT_EQ(ProfileFile::GetString(file, "S", "K", "", buffer, 1), 0U);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "K", "", buffer, 4), 3U);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "K", "", buffer, 7), 6U);
  EXPECT_STREQ(buffer, "abcdef");
  // quotes go first, then the cut
  EXPECT_EQ(ProfileFile::GetString(file, "S", "Q", "", buffer, 4), 3U);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "Q", "", buffer, 7), 6U);
  EXPECT_STREQ(buffer, "abcdef");
  // the default is cut the same way
  EXPECT_EQ(ProfileFile::GetString(file, "S", "None", "0123456789", buffer, 5), 4U);
  EXPECT_STREQ(buffer, "0123");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "K", {}, 0), "");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "K", {}, 3), "ab");
}

TEST_F(ProfileBufferTest, CutNeverSplitsAUtf8Character) {
  std::string file = Make("utf8.ini", "[S]\nK=a\xC3\xA9z\nBad=a\xFF\xFFz\n");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "K", {}, 3), "a");  // 2 bytes would split the e-acute
  EXPECT_EQ(ProfileFile::GetString(file, "S", "K", {}, 4), "a\xC3\xA9");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "Bad", {}, 3), "a\xFF");  // not UTF-8: plain byte cut
}

TEST_F(ProfileBufferTest, DefaultLosesItsTrailingSpacesOnly) {
  std::string file = Make("d.ini", "[S]\nK=v\n");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "X", "dflt   "), "dflt");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "X", "  lead"), "  lead");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "X", "tab\t"), "tab\t");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "X", "   "), "");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "X", std::string_view("ab\0cd", 5)), "ab");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "X"), "");
  char buffer[16];
  EXPECT_EQ(ProfileFile::GetString(file, "S", "X", "a b  ", buffer, sizeof(buffer)), 3U);
  EXPECT_STREQ(buffer, "a b");
  // the default is not used when the key exists
  EXPECT_EQ(ProfileFile::GetString(file, "S", "K", "dflt"), "v");
}

// ---------------------------------------------------------------------------
// GetInt

class ProfileIntTest : public ProfileTest {
 protected:
  uint32_t IntOf(const std::string& value, int32_t def = 777) {
    std::string file = Make("int.ini", "[S]\nV=" + value + "\n");
    ProfileFile::FlushCache();  // same file rewritten many times within one clock tick
    return ProfileFile::GetInt(file, "S", "V", def);
  }
};

TEST_F(ProfileIntTest, DecimalAndSign) {
  EXPECT_EQ(IntOf("42"), 42U);
  EXPECT_EQ(IntOf("+7"), 7U);
  EXPECT_EQ(IntOf("-42"), static_cast<uint32_t>(-42));
  EXPECT_EQ(static_cast<int32_t>(IntOf("-42")), -42);
  EXPECT_EQ(IntOf("-1"), 0xFFFFFFFFU);
  EXPECT_EQ(IntOf("09"), 9U) << "a leading 0 does not mean octal";
  EXPECT_EQ(IntOf("\"12\""), 12U) << "quotes are stripped before the number is read";
  EXPECT_EQ(IntOf("abc"), 0U) << "a value that is no number reads as 0, not as the default";
  EXPECT_EQ(IntOf("- 5"), 0U) << "no blanks between the sign and the digits";
  EXPECT_EQ(IntOf("\x01 8"), 8U) << "leading control characters are skipped";
}

TEST_F(ProfileIntTest, BasePrefixesAnyCase) {
  EXPECT_EQ(IntOf("0x1F"), 31U);
  EXPECT_EQ(IntOf("0X1f"), 31U);
  EXPECT_EQ(IntOf("0o17"), 15U);
  EXPECT_EQ(IntOf("0O17"), 15U);
  EXPECT_EQ(IntOf("0b101"), 5U);
  EXPECT_EQ(IntOf("0B11"), 3U);
  EXPECT_EQ(IntOf("-0x10"), static_cast<uint32_t>(-16));
  EXPECT_EQ(IntOf("0xFFFFFFFF"), 0xFFFFFFFFU);
}

TEST_F(ProfileIntTest, StopsAtTheFirstCharacterThatIsNoDigitOfTheBase) {
  EXPECT_EQ(IntOf("55zz"), 55U);
  EXPECT_EQ(IntOf("12 34"), 12U);
  EXPECT_EQ(IntOf("0x1G"), 1U);
  EXPECT_EQ(IntOf("0b102"), 2U);
  EXPECT_EQ(IntOf("0o78"), 7U);
  EXPECT_EQ(IntOf("0x"), 0U);
  EXPECT_EQ(IntOf("-"), 0U);
  EXPECT_EQ(IntOf("+"), 0U);
  EXPECT_EQ(IntOf("0"), 0U);
}

TEST_F(ProfileIntTest, WrapsAroundModulo2To32) {
  EXPECT_EQ(IntOf("4294967295"), 0xFFFFFFFFU);
  EXPECT_EQ(IntOf("4294967296"), 0U);
  EXPECT_EQ(IntOf("4294967297"), 1U);
  EXPECT_EQ(IntOf("2147483648"), 0x80000000U);
  EXPECT_EQ(IntOf("-4294967297"), 0xFFFFFFFFU);
  EXPECT_EQ(IntOf("0x100000001"), 1U);
}

TEST_F(ProfileIntTest, MissingKeyOrEmptyValueGivesTheDefault) {
  EXPECT_EQ(IntOf("", 5), 5U);
  EXPECT_EQ(IntOf("\"\"", 5), 5U);
  EXPECT_EQ(IntOf("", -5), static_cast<uint32_t>(-5));
  std::string file = Make("int2.ini", "[S]\nV=1\n");
  EXPECT_EQ(ProfileFile::GetInt(file, "S", "Missing", 9), 9U);
  EXPECT_EQ(ProfileFile::GetInt(file, "Missing", "V", -9), static_cast<uint32_t>(-9));
  EXPECT_EQ(ProfileFile::GetInt(PathOf("missing.ini"), "S", "V", 3), 3U);
}

TEST_F(ProfileIntTest, OnlyTheFirst29CharactersCount) {
  // a 30-character buffer holds 29 characters: the 30th digit is never seen
  EXPECT_EQ(IntOf(std::string(28, '0') + "7"), 7U);
  EXPECT_EQ(IntOf(std::string(29, '0') + "7"), 0U);
  EXPECT_EQ(IntOf("0x" + std::string(26, '0') + "A"), 10U);  // 29 characters
  EXPECT_EQ(IntOf("0x" + std::string(27, '0') + "A"), 0U);   // 30 characters
}

}  // namespace
}  // namespace qrv::test
