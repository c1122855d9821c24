#include "platform/system/PeVersionResource.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/core/LastError.h"
#include "platform/system/FileVersion.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/make_pe_fixture.h"

namespace qrv::platform {
namespace {

// Where make_pe_fixture.py puts pe32.exe's version block and its length.
constexpr size_t kBlockOffset = 0x258;

class PeVersionResourceTest : public ::testing::Test {
 protected:
  void SetUp() override { m_dir = test::MakePeFixtures(m_root / "pe"); }
  std::string Fixture(const std::string& name) const { return (m_dir / name).string(); }

  static std::string Version(const std::string& path) {
    std::string version = "stale";
    FileVersion::Read(path, version);
    return version;
  }
  static std::string Text(const std::string& path) {
    std::string text = "stale";
    FileVersion::ReadText(path, text);
    return text;
  }

  test::SandboxRoot m_root;
  std::filesystem::path m_dir;
};

TEST_F(PeVersionResourceTest, ReadsPe32AndPe32PlusImages) {
  std::string version;
  EXPECT_TRUE(FileVersion::Read(Fixture("pe32.exe"), version));
  EXPECT_EQ(version, "1.2.3.4");
  EXPECT_EQ(Text(Fixture("pe32.exe")), "1, 2, 3, 4");

  EXPECT_EQ(Version(Fixture("pe64.dll")), "10.0.19041.2") << "16-bit parts above 9999 and a zero part";
  EXPECT_EQ(Text(Fixture("pe64.dll")), "10.0.19041.2 \xEB\xB2\xA0\xED\x83\x80") << "UTF-16 text comes out as UTF-8";

  PeVersionResource resource;
  ASSERT_TRUE(resource.Load(Fixture("pe32.exe")));
  uint16_t language = 0;
  uint16_t codePage = 0;
  ASSERT_TRUE(resource.FirstTranslation(language, codePage));
  EXPECT_EQ(language, 0x0412);
  EXPECT_EQ(codePage, 0x04B0);
  EXPECT_EQ(resource.StringValue("041204b0", "CompanyName"), "Qorvane");
  EXPECT_EQ(resource.StringValue("041204B0", "fileversion"), "1, 2, 3, 4") << "names compare without case";
  EXPECT_EQ(resource.StringValue("040904b0", "FileVersion"), "");
  EXPECT_EQ(resource.StringValue("041204b0", "ProductName"), "");
}

TEST_F(PeVersionResourceTest, TextComesFromTheFirstTranslationsTableOnly) {
  EXPECT_EQ(Text(Fixture("two-tables.exe")), "en 7.0") << "0x0409/0x04E4 is listed first";
  EXPECT_EQ(Version(Fixture("two-tables.exe")), "7.0.0.0");

  // no table for the first translation: no text, but the fixed version stays
  std::string text = "stale";
  EXPECT_FALSE(FileVersion::ReadText(Fixture("no-text.exe"), text));
  EXPECT_EQ(text, "");
  EXPECT_NE(LastError::Text().find("040904b0"), std::string::npos) << LastError::Text();
  EXPECT_EQ(Version(Fixture("no-text.exe")), "1.2.3.4");

  EXPECT_FALSE(FileVersion::ReadText(Fixture("empty-text.exe"), text)) << "a value without length is no text";
  EXPECT_EQ(text, "");
}

TEST_F(PeVersionResourceTest, FilesWithoutAVersionGiveEmptyTextAndTheReason) {
  test::WriteFile(m_dir / "empty.exe", "");
  test::WriteFile(m_dir / "readme.txt", std::string(100, 'x'));
  std::filesystem::create_directories(m_dir / "folder.exe");
  struct Case {
    const char* name;
    const char* reason;
  } cases[] = {
      {"no-version.exe", "no version resource"},
      {"no-rsrc.exe", "no resources"},
      {"not-pe.txt", "PE header at 0x656b696c"},  // "MZ" then text: e_lfanew is text too
      {"readme.txt", "no MZ signature"},
      {"loop.exe", "malformed resource directory"},
      {"bad-data.exe", "0x7ffffff0"},
      {"empty.exe", "not a PE image: only 0 bytes"},
      {"folder.exe", "not a regular file"},
      {"missing.exe", "No such file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string version = "stale";
    EXPECT_FALSE(FileVersion::Read(Fixture(c.name), version));
    EXPECT_EQ(version, "");
    EXPECT_NE(LastError::Text().find(Fixture(c.name)), std::string::npos) << LastError::Text();
    EXPECT_NE(LastError::Text().find(c.reason), std::string::npos) << LastError::Text();
    EXPECT_EQ(Text(Fixture(c.name)), "");
  }
}

TEST_F(PeVersionResourceTest, TruncatedOrFlippedImagesNeverCrash) {
  std::string good = test::ReadFile(m_dir / "pe32.exe");
  std::string path = (m_dir / "damaged.exe").string();

  // The block ends where its data entry says; any shorter file lacks part of it.
  size_t blockEnd = kBlockOffset + static_cast<unsigned char>(good[0x24C]) +
                    (static_cast<size_t>(static_cast<unsigned char>(good[0x24D])) << 8);
  for (size_t length = 0; length <= good.size(); ++length) {
    test::WriteFile(path, good.substr(0, length));
    std::string version;
    bool ok = FileVersion::Read(path, version);
    ASSERT_EQ(ok, length >= blockEnd) << "length " << length;
    if (ok) {
      ASSERT_EQ(version, "1.2.3.4");
    }
  }

  // Any single flipped byte: an answer, or a clean refusal, never a crash
  // (the sanitizers watch every read).
  int refused = 0;
  for (size_t i = 0; i < good.size(); ++i) {
    std::string bad = good;
    bad[i] = static_cast<char>(bad[i] ^ 0xFF);
    test::WriteFile(path, bad);
    std::string version;
    std::string text;
    if (!FileVersion::Read(path, version)) {
      ++refused;
      ASSERT_EQ(version, "");
    }
    FileVersion::ReadText(path, text);
  }
  EXPECT_GT(refused, 20) << "headers and directory bytes matter";

  // Known places: the MZ and PE signatures and the optional header's magic.
  for (size_t at : {size_t{0}, size_t{0x80}, size_t{0x98}}) {
    std::string bad = good;
    bad[at] = 'X';
    test::WriteFile(path, bad);
    EXPECT_EQ(Version(path), "") << "byte " << at;
  }
}

TEST_F(PeVersionResourceTest, DamagedLengthsInsideTheBlockStayBounded) {
  std::string good = test::ReadFile(m_dir / "pe32.exe");
  size_t blockLength = static_cast<unsigned char>(good[kBlockOffset]) |
                       (static_cast<size_t>(static_cast<unsigned char>(good[kBlockOffset + 1])) << 8);
  std::string block = good.substr(kBlockOffset, blockLength);
  PeVersionResource resource;
  ASSERT_TRUE(resource.Parse(block));

  // Every 16-bit field set to values that make loops or overruns if unchecked:
  // 0 (a node that never advances), 6 (header only) and 0xFFFF.
  for (size_t at = 0; at + 1 < block.size(); at += 2) {
    for (uint16_t value : {uint16_t{0}, uint16_t{6}, uint16_t{0xFFFF}}) {
      std::string bad = block;
      bad[at] = static_cast<char>(value & 0xFF);
      bad[at + 1] = static_cast<char>(value >> 8);
      PeVersionResource damaged;
      if (!damaged.Parse(bad)) continue;
      uint32_t ms = 0;
      uint32_t ls = 0;
      uint16_t language = 0;
      uint16_t codePage = 0;
      damaged.FixedFileVersion(ms, ls);
      damaged.FirstTranslation(language, codePage);
      std::string value16 = damaged.StringValue("041204b0", "FileVersion");
      ASSERT_LE(value16.size(), block.size()) << "field at " << at;
    }
  }

  EXPECT_FALSE(resource.Parse("")) << "empty block";
  EXPECT_FALSE(resource.Parse(block.substr(0, 5)));
  std::string renamed = block;
  renamed[6] = 'X';  // "XS_VERSION_INFO"
  EXPECT_FALSE(resource.Parse(renamed));
  uint32_t ms = 0;
  uint32_t ls = 0;
  EXPECT_FALSE(resource.FixedFileVersion(ms, ls)) << "a failed Parse leaves the object empty";
}

}  // namespace
}  // namespace qrv::platform
