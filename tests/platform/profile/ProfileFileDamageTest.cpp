#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/core/LastError.h"
#include "platform/profile/ProfileFile.h"
#include "tests/platform/profile/ProfileTestSupport.h"

namespace qrv::test {
namespace {

using platform::LastError;
using platform::ProfileFile;
using namespace std::string_literals;

class ProfileDamageTest : public ProfileTest {};

TEST_F(ProfileDamageTest, NulBytesEndAValueButNotTheFile) {
  std::string bytes = "[S]\nA=ab\0cd\nB=after\n\0\0\0\nC=3\nK\0junk=named\nQ=\"x\0\"\n[T\0]\nD=4\n"s;
  std::string file = Make("nul.ini", bytes);
  EXPECT_EQ(ProfileFile::GetString(file, "S", "A"), "ab");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "B"), "after");
  EXPECT_EQ(ProfileFile::GetInt(file, "S", "C", 0), 3U);
  EXPECT_EQ(ProfileFile::GetString(file, "S", "K"), "named");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "Q"), "\"x") << "the value ends at the NUL, before the quote";
  EXPECT_EQ(ProfileFile::GetString(file, "T", "D"), "4");

  ASSERT_TRUE(ProfileFile::WriteString(file, "S", "B", "changed")) << LastError::Text();
  std::string expected = bytes;
  expected.replace(expected.find("B=after"), 7, "B=changed");
  EXPECT_EQ(Read(file), expected) << "the NUL bytes elsewhere are kept";
}

TEST_F(ProfileDamageTest, LinesOfMegabytes) {
  std::string big(5 * 1024 * 1024, 'x');
  std::string file = Make("big.ini", "[S]\n" + big + "\nBig=" + big + "\nAfter=1\n[T]\nK=" + big);
  EXPECT_EQ(ProfileFile::GetString(file, "S", "Big"), big.substr(0, 259));
  EXPECT_EQ(ProfileFile::GetString(file, "S", "Big", {}, 0x7FFFFFFF).size(), big.size());
  EXPECT_EQ(ProfileFile::GetInt(file, "S", "After", 0), 1U);
  EXPECT_EQ(ProfileFile::GetString(file, "T", "K").size(), 259U);
  EXPECT_EQ(ProfileFile::KeyNames(file, "S"), (std::vector<std::string>{"Big", "After"}));
  ASSERT_TRUE(ProfileFile::WriteString(file, "S", "New", "n"));
  EXPECT_EQ(ProfileFile::GetString(file, "S", "New"), "n");
  EXPECT_EQ(ProfileFile::GetString(file, "T", "K").size(), 259U);
}

TEST_F(ProfileDamageTest, UnreadableFileReadsAsMissingWithTheReason) {
  if (::geteuid() == 0) GTEST_SKIP() << "running as root, which can read every file";
  std::string file = Make("secret.ini", "[S]\nk=v\n");
  ASSERT_EQ(::chmod(file.c_str(), 0), 0);
  EXPECT_EQ(ProfileFile::GetString(file, "S", "k", "dflt"), "dflt");
  EXPECT_NE(LastError::Text().find(file), std::string::npos) << LastError::Text();
  EXPECT_NE(LastError::Text().find("ermission"), std::string::npos) << LastError::Text();
  EXPECT_EQ(ProfileFile::GetInt(file, "S", "k", 4), 4U);
  EXPECT_TRUE(ProfileFile::SectionNames(file).empty());
  EXPECT_FALSE(ProfileFile::WriteString(file, "S", "k", "w")) << "a file that cannot be read is never rewritten";
  ::chmod(file.c_str(), 0644);
  EXPECT_EQ(Read(file), "[S]\nk=v\n");
}

TEST_F(ProfileDamageTest, FolderFifoAndHugeFileReadAsMissing) {
  std::string folder = PathOf("folder.ini");
  std::filesystem::create_directories(folder);
  EXPECT_EQ(ProfileFile::GetString(folder, "S", "k", "dflt"), "dflt");
  EXPECT_NE(LastError::Text().find("folder"), std::string::npos) << LastError::Text();
  EXPECT_TRUE(ProfileFile::SectionNames(folder).empty());

  std::string fifo = PathOf("fifo.ini");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(ProfileFile::GetString(fifo, "S", "k", "dflt"), "dflt") << "and no hang";
  EXPECT_NE(LastError::Text(), "");

  std::string huge = Make("huge.ini", "[S]\nk=v\n");
  std::filesystem::resize_file(huge, 17 * 1024 * 1024);  // sparse: cheap to make
  EXPECT_EQ(ProfileFile::GetString(huge, "S", "k", "dflt"), "dflt");
  EXPECT_NE(LastError::Text().find("bytes"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(ProfileFile::WriteString(huge, "S", "k", "w"));

  std::string small = Make("small.ini", "[S]\nk=v\n");
  EXPECT_FALSE(ProfileFile::WriteString(small, "S", "k", std::string(17 * 1024 * 1024, 'x')));
  EXPECT_NE(LastError::Text().find("bytes"), std::string::npos) << LastError::Text();
  EXPECT_EQ(Read(small), "[S]\nk=v\n") << "what could not be read back is not written";

  EXPECT_EQ(ProfileFile::GetString("", "S", "k", "dflt"), "dflt");
  EXPECT_EQ(ProfileFile::GetString(std::string("a\0b", 3), "S", "k", "dflt"), "dflt");
  EXPECT_FALSE(ProfileFile::WriteString(std::string("a\0b", 3), "S", "k", "v"));
}

TEST_F(ProfileDamageTest, ManyEmptyLinesStayCheap) {
  // millions of lines without content need no per-line record
  std::string file = Make("blank.ini", "[S]\nk=v\n" + std::string(8 * 1024 * 1024, '\n') + "[T]\nk=w\n");
  EXPECT_EQ(ProfileFile::GetString(file, "T", "k"), "w");
}

// Random bytes, with sprinkled line breaks and INI punctuation, for a few
// fixed seeds: every call returns, a write keeps the garbage byte for byte.
TEST_F(ProfileDamageTest, BinaryGarbage) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937 random(seed);
    std::string bytes(4096 + seed * 997, '\0');
    const char punctuation[] = "[]=;\r\n \"'\t";
    for (char& c : bytes) {
      unsigned r = random();
      c = (r % 4 == 0) ? punctuation[(r >> 8) % (sizeof(punctuation) - 1)] : static_cast<char>(r >> 16);
    }
    bytes[0] = 'x';  // no byte-order mark: the garbage is taken byte for byte
    std::string file = Make("garbage" + std::to_string(seed) + ".ini", bytes);
    std::vector<std::string> sections = ProfileFile::SectionNames(file);
    for (const std::string& section : sections) {
      for (const std::string& key : ProfileFile::KeyNames(file, section)) {
        std::string value = ProfileFile::GetString(file, section, key, {}, 100000);
        EXPECT_EQ(value.find('\0'), std::string::npos);
        EXPECT_EQ(value.find('\n'), std::string::npos);
        (void)ProfileFile::GetInt(file, section, key, 0);
      }
    }
    ASSERT_TRUE(ProfileFile::WriteString(file, "Qrv Added Section", "key", "value")) << LastError::Text();
    std::string after = Read(file);
    ASSERT_GE(after.size(), bytes.size());
    EXPECT_EQ(after.substr(0, bytes.size()), bytes) << "seed " << seed;
    EXPECT_EQ(ProfileFile::GetString(file, "qrv added section", "KEY"), "value") << "seed " << seed;
    // a name read from the file can hold ']' (the header runs to the last
    // one), which a write refuses; any other is writable
    auto writable = std::find_if(sections.begin(), sections.end(),
                                 [](const std::string& name) { return name.find(']') == std::string::npos; });
    if (writable != sections.end()) {
      EXPECT_TRUE(ProfileFile::WriteString(file, *writable, "qrvkey", "v")) << LastError::Text();
      EXPECT_EQ(ProfileFile::GetString(file, *writable, "qrvkey"), "v") << "seed " << seed;
      EXPECT_TRUE(ProfileFile::DeleteSection(file, *writable)) << LastError::Text();
      EXPECT_EQ(ProfileFile::GetString(file, *writable, "qrvkey", "gone"), "gone") << "seed " << seed;
    }
  }
}

// ---------------------------------------------------------------------------
// encodings

TEST_F(ProfileDamageTest, Utf8BomIsSkippedOnReadingAndKeptOnWriting) {
  std::string file = Make("bom.ini", "\xEF\xBB\xBF[S]\nA=1\n");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "A"), "1");
  EXPECT_EQ(ProfileFile::SectionNames(file), (std::vector<std::string>{"S"}));
  ASSERT_TRUE(ProfileFile::WriteString(file, "S", "B", "2"));
  EXPECT_EQ(Read(file), "\xEF\xBB\xBF[S]\nA=1\nB=2\n");
  ASSERT_TRUE(ProfileFile::DeleteSection(file, "S"));
  EXPECT_EQ(Read(file), "\xEF\xBB\xBF");
}

TEST_F(ProfileDamageTest, Utf16FilesAreReadAsUtf8AndStayUtf16) {
  for (bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "UTF-16BE" : "UTF-16LE");
    ProfileFile::FlushCache();
    std::u16string text = u"; Kommentar \u00FC\r\n[Sektion]\r\nName=Wert \u00FC\u20AC\r\nEmoji=\U0001F600\r\n";
    std::string file = Make(bigEndian ? "be.ini" : "le.ini", Utf16(text, bigEndian));
    EXPECT_EQ(ProfileFile::GetString(file, "sektion", "name"), "Wert \xC3\xBC\xE2\x82\xAC");
    EXPECT_EQ(ProfileFile::GetString(file, "Sektion", "Emoji"), "\xF0\x9F\x98\x80");
    ASSERT_TRUE(ProfileFile::WriteString(file, "Sektion", "Neu", "\xC3\xA4")) << platform::LastError::Text();
    ASSERT_TRUE(ProfileFile::WriteString(file, "Sektion", "Name", "x"));
    EXPECT_EQ(Read(file),
              Utf16(u"; Kommentar \u00FC\r\n[Sektion]\r\nName=x\r\nEmoji=\U0001F600\r\nNeu=\u00E4\r\n", bigEndian));
    EXPECT_EQ(ProfileFile::GetString(file, "Sektion", "Neu"), "\xC3\xA4");
  }
}

TEST_F(ProfileDamageTest, Utf16UnpairedSurrogatesSurviveARewrite) {
  std::u16string text = u"; odd ";
  text += static_cast<char16_t>(0xD800);
  text += u" and ";
  text += static_cast<char16_t>(0xDC01);
  text += u"\n[S]\nk=1\n";
  std::string file = Make("surrogate.ini", Utf16(text, false));
  ASSERT_TRUE(ProfileFile::WriteString(file, "S", "k", "2")) << LastError::Text();
  std::u16string expected = text;
  expected.replace(expected.find(u"k=1"), 3, u"k=2");
  EXPECT_EQ(Read(file), Utf16(expected, false));
}

TEST_F(ProfileDamageTest, Utf16FileIsNeverCorrupted) {
  // an odd byte at the end cannot be carried through a rewrite: refused
  std::string odd = Utf16(u"[S]\nk=1\n", false) + "\x41";
  std::string file = Make("odd16.ini", odd);
  EXPECT_EQ(ProfileFile::GetString(file, "S", "k"), "1");
  EXPECT_FALSE(ProfileFile::WriteString(file, "S", "k", "2"));
  EXPECT_NE(LastError::Text().find("odd"), std::string::npos) << LastError::Text();
  EXPECT_EQ(Read(file), odd);

  // a value that is not UTF-8 has no UTF-16 form: refused
  std::string good = Utf16(u"[S]\nk=1\n", false);
  file = Make("good16.ini", good);
  EXPECT_FALSE(ProfileFile::WriteString(file, "S", "k", "\xFF\xFE"));
  EXPECT_NE(LastError::Text().find("UTF-8"), std::string::npos) << LastError::Text();
  EXPECT_EQ(Read(file), good);
}

}  // namespace
}  // namespace qrv::test
