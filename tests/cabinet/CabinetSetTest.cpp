// Cabinet sets: a file split across two cabinets, successors found without
// regard to case, and successors that do not belong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cabinet/CExtract.h"
#include "tests/cabinet/CabinetTestBase.h"

namespace Cabinet::test {
namespace {

using qrv::test::CabinetFixtures;
using qrv::test::ReadFile;
using Strings = std::vector<std::string>;

// The contents the fixture script writes into the set.
std::string Pattern(size_t size, int factor, int add) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((static_cast<int>(i) * factor + add) & 0xFF);
  return out;
}

class CabinetSetTest : public CabinetTestBase {};

TEST_F(CabinetSetTest, ASetUnpacksAsOneCabinetIncludingTheSplitFile) {
  // set1.cab names "SET2.CAB"; the file on disk is set2.cab
  ASSERT_EQ(m_x.ExtractFile(Cab("set1.cab"), Out().string()), 1) << m_x.GetLastErrorText();
  EXPECT_EQ(CabinetFixtures::Tree(Out()), (Strings{"one.txt", "split.bin", "two.txt"}));
  EXPECT_EQ(ReadFile(Out() / "one.txt"), Pattern(1000, 7, 0));
  EXPECT_EQ(ReadFile(Out() / "split.bin"), Pattern(50000, 13, 5));
  EXPECT_EQ(ReadFile(Out() / "two.txt").size(), 500u);
  EXPECT_EQ(m_x.NextCabinet(), "");

  std::vector<CabinetEntry> entries;
  ASSERT_EQ(m_x.ListFiles(Cab("set1.cab"), entries), 1);
  ASSERT_EQ(entries.size(), 3u) << "the split file is listed once";
  EXPECT_EQ(entries[1].name, "split.bin");
  EXPECT_EQ(entries[2].name, "two.txt");
}

TEST_F(CabinetSetTest, MissingOrForeignSuccessorsFailBeforeWriting) {
  EXPECT_EQ(m_x.ExtractFile(Cab("lonely1.cab"), Out().string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 1);
  EXPECT_EQ(m_x.GetLastErrorDetail(),
            Cab("lonely1.cab") + " continues in gone.cab, which is not in " + m_cabs.string());

  EXPECT_EQ(m_x.ExtractFile(Cab("wrongid1.cab"), Out().string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 10);
  EXPECT_EQ(m_x.GetLastErrorDetail(),
            Cab("wrongid2.cab") + " does not continue " + Cab("wrongid1.cab") +
                ": it has set id 0x9999 instead of 0x1234");

  // a successor that names another predecessor
  std::filesystem::copy_file(Cab("set1.cab"), Cab("renamed1.cab"));
  EXPECT_EQ(m_x.ExtractFile(Cab("renamed1.cab"), Out().string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 10);
  EXPECT_NE(m_x.GetLastErrorDetail().find("\"set1.cab\" as its previous cabinet"), std::string::npos)
      << m_x.GetLastErrorText();

  // the second cabinet alone: its first file starts in the missing first one
  EXPECT_EQ(m_x.ExtractFile(Cab("set2.cab"), Out().string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 1);
  EXPECT_EQ(m_x.GetLastErrorDetail(),
            "split.bin starts in the cabinet before " + Cab("set2.cab") + ", which was not given");
  EXPECT_EQ(CabinetFixtures::Tree(Out()), Strings{});
}

}  // namespace
}  // namespace Cabinet::test
