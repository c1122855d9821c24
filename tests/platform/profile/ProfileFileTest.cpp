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

TEST_F(ProfileLookupTest, Lookups) {
  struct Case {
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {
      // names compare without case and are trimmed; tabs and 0x1A are blanks
      {"MAIN", "name", "Alpha"}, {"  main\t", " NAME ", "Alpha"}, {"main", "spaced key", "spaced value"},
      {"main", "Tabbed", "x"}, {"spaced section", "key", "v"},
      // ASCII letters only: no locale folding, and no bit trick that would
      // also fold '[' into '{'
      {"\xC3\x84RGER", "key", "umlaut"}, {"\xC3\xA4rger", "Key", "<default>"}, {"[X", "key", "open bracket"},
      {"{x", "Key", "<default>"},
      // one pair of matching outer quotes goes
      {"Main", "Quoted", "  inner  "}, {"Main", "Single", "single"}, {"Main", "Mismatch", "\"abc'"},
      {"Main", "OneQuote", "\""}, {"Main", "TwoQuotes", ""}, {"Main", "Nested", "'a'"},
      {"Main", "QuoteInside", "a\"b\""},
      {"Main", "Inline", "value ; not a comment"}, {"Main", "Eq", "a=b"},
      // the first duplicate key and the first section of a name win
      {"Main", "dup", "first"}, {"main", "Name", "Alpha"}, {"Main", "Extra", "<default>"},
      // comments and lines without '=' are invisible
      {"Main", "NoEquals line", "<default>"}, {"Main", "NoEquals", "<default>"}, {"Main", ";Commented", "<default>"},
      {"Main", "Commented", "<default>"}, {"Main", "; Indented", "<default>"},
      // a header's name runs to the last ']'; text after it is ignored; no ']' is no header
      {"a]b", "Key", "bracket"}, {"Tail", "Key", "tail"}, {"Open bracket", "Key", "<default>"},
      {"Other", "Name", "Beta"},
      // the lines before the first header are the section "" (names are
      // trimmed, so blanks name it too); "[]" further down is a second section
      // of that name and never searched; "=no name" is the key ""
      {"", "orphan", "before any section"}, {"   ", "ORPHAN", "before any section"},
      {"\t\x1A", "orphan", "before any section"}, {"", "Key", "<default>"}, {"", "", "<default>"},
      {"Main", "", "no name"}, {" main\t", " ", "no name"}, {"Other", "", "<default>"},
      {"Nope", "Name", "<default>"}, {"Main", "Nope", "<default>"},
  };
  for (const Case& c : cases) EXPECT_EQ(Get(c.section, c.key), c.value) << "[" << c.section << "] " << c.key;
}

TEST_F(ProfileLookupTest, EmptyValueIsFoundAndNotTheDefault) {
  char buffer[16] = "sentinel";
  EXPECT_EQ(ProfileFile::GetString(m_file, "Main", "Empty", "dflt", buffer, sizeof(buffer)), 0U);
  EXPECT_STREQ(buffer, "");
}

// The section "" and the key "" in files of other shapes: no header at all,
// "[]" first, CRLF, duplicates, and the integer read of such a key.
TEST_F(ProfileLookupTest, LeadingSectionAndEmptyKey) {
  struct Case {
    const char* content;
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {
      {"a=1\nb=2\n", "", "b", "2"},                        // a file without any header
      {"a=1\r\n=lead\r\n[S]\r\nx=y\r\n", "", "", "lead"},  // "=value" before the first header
      {"[]\na=in brackets\n", "", "a", "<default>"},       // the leading section is empty and wins
      {"[ ]\n=x\n", " ", "", "<default>"},
      {"[S]\n=first\n = second\n", "S", "", "first"},     // the first "" key wins
      {"[S]\n=\n", "S", "", ""},                          // found, and empty
      {"[S]\n  =  \"quoted\"  \n", "S", "\t", "quoted"},
      {"; only a comment\n=after it\n", "", "", "after it"},  // comments do not end the section
      {"k=v\n[S]\nk=w\n", "", "k", "v"},
      {"k=v\n[S]\nk=w\n", "S", "k", "w"},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string file = Make("lead" + std::to_string(n++) + ".ini", c.content);
    EXPECT_EQ(ProfileFile::GetString(file, c.section, c.key, "<default>"), c.value)
        << c.content << " [" << c.section << "] " << c.key;
  }
  std::string file = Make("leadint.ini", "Count=0x10\n=7\n[S]\n");
  EXPECT_EQ(ProfileFile::GetInt(file, "", "count", -1), 16U);
  EXPECT_EQ(ProfileFile::GetInt(file, "  ", "", -1), 7U);
  EXPECT_EQ(ProfileFile::GetInt(file, "S", "", -1), static_cast<uint32_t>(-1));
}

TEST_F(ProfileLookupTest, MissingFileGivesTheDefaultAndTheReason) {
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
  // the leading section's keys, not those of "[]"; the key "" is never listed
  EXPECT_EQ(ProfileFile::KeyNames(m_file, " "), (std::vector<std::string>{"orphan"}));
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
  struct Case {
    const char* key;
    const char* def;
    size_t size;
    size_t length;
    const char* value;
  } cases[] = {  // quotes go first, then the cut; the default is cut the same way
      {"K", "", 1, 0, ""}, {"K", "", 4, 3, "abc"}, {"K", "", 7, 6, "abcdef"},
      {"Q", "", 4, 3, "abc"}, {"Q", "", 7, 6, "abcdef"}, {"None", "0123456789", 5, 4, "0123"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProfileFile::GetString(file, "S", c.key, c.def, buffer, c.size), c.length) << c.key << c.size;
    EXPECT_STREQ(buffer, c.value) << c.key << c.size;
  }
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
  for (auto [given, used] : {std::pair<std::string_view, std::string>{"dflt   ", "dflt"}, {"  lead", "  lead"},
                             {"tab\t", "tab\t"}, {"   ", ""}, {std::string_view("ab\0cd", 5), "ab"}}) {
    EXPECT_EQ(ProfileFile::GetString(file, "S", "X", given), used) << given;
  }
  EXPECT_EQ(ProfileFile::GetString(file, "S", "K", "dflt"), "v") << "not used when the key exists";
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

TEST_F(ProfileIntTest, NumbersInEveryBaseWrapModulo2To32) {
  struct Case {
    std::string text;
    uint32_t value;
  } cases[] = {
      {"42", 42}, {"+7", 7}, {"-42", static_cast<uint32_t>(-42)}, {"-1", 0xFFFFFFFFU},
      {"09", 9},      // a leading 0 does not mean octal
      {"\"12\"", 12}, // quotes go before the number is read
      {"abc", 0},     // no number reads as 0, not as the default
      {"- 5", 0}, {"\x01 8", 8},
      // only a lower-case prefix switches the base; the digits may be either case
      {"0x1F", 31}, {"0x1f", 31}, {"0X1F", 0}, {"0X1f", 0}, {"-0X5", 0}, {"0o17", 15}, {"0O17", 0},
      {"0b101", 5}, {"0B11", 0},
      {"-0x10", static_cast<uint32_t>(-16)}, {"0xFFFFFFFF", 0xFFFFFFFFU},
      // the first character that is no digit of the base ends the number
      {"55zz", 55}, {"12 34", 12}, {"0x1G", 1}, {"0b102", 2}, {"0o78", 7}, {"0x", 0}, {"-", 0}, {"+", 0},
      {"4294967296", 0}, {"4294967297", 1}, {"2147483648", 0x80000000U}, {"-4294967297", 0xFFFFFFFFU},
      {"0x100000001", 1},
      // a 30-character buffer holds 29 characters: the 30th is never seen
      {std::string(28, '0') + "7", 7}, {std::string(29, '0') + "7", 0},
      {"0x" + std::string(26, '0') + "A", 10}, {"0x" + std::string(27, '0') + "A", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(IntOf(c.text), c.value) << c.text;
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

}  // namespace
}  // namespace qrv::test
