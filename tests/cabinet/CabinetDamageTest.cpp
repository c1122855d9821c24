// Cabinets that must not be unpacked, or not completely: hostile names,
// damaged data, enciphered or foreign files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cabinet/CExtract.h"
#include "cabinet/EntryName.h"
#include "tests/cabinet/CabinetTestBase.h"

namespace Cabinet::test {
namespace {

using qrv::test::CabinetFixtures;
using qrv::test::ReadFile;
using Strings = std::vector<std::string>;

class CabinetDamageTest : public CabinetTestBase {};

TEST_F(CabinetDamageTest, AnUnsafeNameAnywhereFailsTheCabinetBeforeAnythingIsWritten) {
  struct Case {
    const char* cab;
    std::string entry;
    const char* reason;
  };
  const Case cases[] = {
      {"unsafe-dotdot.cab", "../x", "climbs out of the target folder with \"..\""},
      {"unsafe-absolute.cab", (m_cabs / "escaped/x").string(), "is an absolute path"},
      {"unsafe-empty.cab", "a//b", "has an empty path component"},
      {"unsafe-control.cab", "tab\\tx.txt", "holds a control character"},
      {"unsafe-drive.cab", "C:/x", "names a drive"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cab);
    std::filesystem::path target = m_root / "out" / c.cab;
    const std::string refusal = "entry \"" + c.entry + "\" " + c.reason;
    EXPECT_EQ(m_x.ExtractFile(Cab(c.cab), target.string()), 0);
    EXPECT_EQ(m_x.GetLastError(), 4);
    EXPECT_EQ(m_x.GetLastErrorDetail(), refusal + " in " + Cab(c.cab));
    EXPECT_FALSE(std::filesystem::exists(target)) << "first.txt comes before the bad entry and is not written";

    std::vector<CabinetEntry> entries;
    ASSERT_EQ(m_x.ListFiles(Cab(c.cab), entries), 1) << "listing shows what extraction refuses";
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_TRUE(entries[0].safe);
    EXPECT_FALSE(entries[1].safe);
    EXPECT_EQ(EntryName::Printable(entries[1].name), c.entry);
    EXPECT_EQ(entries[1].refusal, refusal);
    EXPECT_TRUE(entries[2].safe);
  }
  // nothing escaped anywhere into the sandbox
  EXPECT_FALSE(std::filesystem::exists(m_root / "out" / "x"));
  EXPECT_FALSE(std::filesystem::exists(m_root / "x"));
  EXPECT_FALSE(std::filesystem::exists(m_cabs / "escaped"));
  EXPECT_EQ(CabinetFixtures::Tree(m_root / "out"), Strings{});
}

TEST_F(CabinetDamageTest, DamagedDataStopsAtTheFirstErrorAndLeavesNoPartialFile) {
  struct Case {
    const char* cab;
    const char* mention;
  };
  for (const Case& c : {Case{"flipped.cab", "checksum error"}, Case{"truncated.cab", "unexpected end of the data"}}) {
    SCOPED_TRACE(c.cab);
    std::filesystem::path target = m_root / "out" / c.cab;
    EXPECT_NE(m_x.IsCabinet(Cab(c.cab)), 0) << "the header is intact";
    EXPECT_EQ(m_x.ExtractFile(Cab(c.cab), target.string()), 0);
    EXPECT_EQ(m_x.GetLastError(), 4) << m_x.GetLastErrorText();
    EXPECT_NE(m_x.GetLastErrorDetail().find("data/big.bin in " + Cab(c.cab)), std::string::npos)
        << m_x.GetLastErrorText();
    EXPECT_NE(m_x.GetLastErrorDetail().find(c.mention), std::string::npos) << m_x.GetLastErrorText();
    // the files in the good first block stay; big.bin (damaged) and
    // empty.txt (after it, which libmspack would "extract" fine) do not
    EXPECT_EQ(CabinetFixtures::Tree(target), (Strings{"Bin", "Bin/Writer.exe", "data", "readme.txt"}));
    EXPECT_EQ(ReadFile(target / "Bin/Writer.exe"), Source("Bin/Writer.exe"));
  }
}

TEST_F(CabinetDamageTest, HeadersThatCannotBeUnpackedAreRefusedUntouched) {
  EXPECT_EQ(m_x.ExtractFile(Cab("cryp.cab"), Out().string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 1008);
  EXPECT_EQ(m_x.GetLastErrorText(), "The CAB archive is encrypted but no decryption key was set.: " + Cab("cryp.cab") +
                                        " is an enciphered cabinet (\"CRYP\")");
  EXPECT_EQ(m_x.ExtractFile(Cab("text.cab"), Out().string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 2);

  // one field of plain.cab changed at a time
  const std::string plain = ReadFile(Cab("plain.cab"));
  auto patched = [&](const std::string& name, size_t offset, std::initializer_list<uint8_t> bytes) {
    std::string copy = plain;
    for (uint8_t b : bytes) copy[offset++] = static_cast<char>(b);
    qrv::test::WriteFile(m_cabs / name, copy);
    return Cab(name);
  };
  EXPECT_EQ(m_x.ExtractFile(patched("version2.cab", 25, {2}), Out().string()), 0) << "major version 2";
  EXPECT_EQ(m_x.GetLastError(), 3);
  EXPECT_EQ(m_x.GetLastErrorDetail(), Cab("version2.cab") + " has format version 2.3, only 1.x is known");
  EXPECT_EQ(m_x.IsCabinet(Cab("version2.cab")), 0);

  EXPECT_EQ(m_x.ExtractFile(patched("method5.cab", 36 + 6, {5, 0}), Out().string()), 0) << "compression type 5";
  EXPECT_EQ(m_x.GetLastError(), 6);
  EXPECT_EQ(m_x.GetLastErrorDetail(), Cab("method5.cab") + " uses compression method 5 in folder 0");

  // readme.txt (the second entry, after "Bin\Writer.exe") claims offset 0
  const size_t files = static_cast<uint8_t>(plain[16]) | static_cast<size_t>(static_cast<uint8_t>(plain[17])) << 8;
  const size_t secondEntry = files + 16 + std::string("Bin\\Writer.exe").size() + 1;
  ASSERT_EQ(plain.substr(secondEntry + 16, 10), "readme.txt");
  EXPECT_EQ(m_x.ExtractFile(patched("overlap.cab", secondEntry + 4, {0, 0, 0, 0}), Out().string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 4);
  EXPECT_EQ(m_x.GetLastErrorDetail(), "entries \"Bin/Writer.exe\" and \"readme.txt\" overlap in " + Cab("overlap.cab"));

  EXPECT_FALSE(std::filesystem::exists(Out())) << "not even the target folder is made";
}

}  // namespace
}  // namespace Cabinet::test
