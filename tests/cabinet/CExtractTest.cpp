#include "cabinet/CExtract.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "tests/cabinet/CabinetTestBase.h"

namespace Cabinet::test {
namespace {

using qrv::test::CabinetFixtures;
using qrv::test::ModeOf;
using qrv::test::ReadFile;
using qrv::test::WriteFile;
using Strings = std::vector<std::string>;

const Strings kPlainTree = {"Bin", "Bin/Writer.exe", "data", "data/big.bin", "empty.txt", "readme.txt"};

class CExtractTest : public CabinetTestBase {};

TEST_F(CExtractTest, ContextCallOrderArgumentsAndErrorTexts) {
  CExtract fresh;
  EXPECT_EQ(fresh.ExtractFile(Cab("plain.cab"), Out().string()), 0) << "no context yet";
  EXPECT_EQ(fresh.IsCabinet(Cab("plain.cab")), 0);
  EXPECT_FALSE(std::filesystem::exists(Out()));
  EXPECT_EQ(fresh.CreateFDIContext(), 1);
  EXPECT_EQ(fresh.CreateFDIContext(), 0) << "a second context is refused";

  EXPECT_EQ(m_x.ExtractFile("plain.cab", Out().string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 1002) << "a cabinet path without a folder";
  EXPECT_EQ(m_x.ExtractFile(Cab("plain.cab"), ""), 0);
  EXPECT_EQ(m_x.GetLastError(), 1002);
  EXPECT_EQ(m_x.GetLastErrorText(),
            "Invalid parameters passed to extraction function. Read the documentation!: the target folder is empty");

  EXPECT_EQ(m_x.ExtractFile(Cab("missing.cab"), Out().string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 1);
  EXPECT_EQ(m_x.GetLastErrorText(), "Cabinet file (or part of splitted CAB) not found: cannot open " +
                                        Cab("missing.cab") + ": No such file or directory");
  EXPECT_EQ(m_x.ExtractFile(Cab("plain.cab"), Out().string()), 1) << "the error of one call does not stick";
  EXPECT_EQ(m_x.GetLastError(), 0);
  EXPECT_EQ(m_x.GetLastErrorDetail(), "");
}

TEST_F(CExtractTest, IsCabinetReadsTheHeaderAndRefusesEverythingElse) {
  CabinetInfo info;
  EXPECT_NE(m_x.IsCabinet(Cab("plain.cab"), &info), 0) << m_x.GetLastErrorText();
  EXPECT_EQ(info.cFiles, 4);
  EXPECT_EQ(info.cFolders, 1);
  EXPECT_EQ(info.cbCabinet, std::filesystem::file_size(Cab("plain.cab")));
  EXPECT_FALSE(info.hasprev || info.hasnext || info.fReserve);
  EXPECT_NE(m_x.IsCabinet(Cab("mszip.cab")), 0) << "the information is optional";

  EXPECT_NE(m_x.IsCabinet(Cab("set1.cab"), &info), 0);
  EXPECT_EQ(info.setID, 0x1234);
  EXPECT_EQ(info.iCabinet, 0);
  EXPECT_TRUE(info.hasnext);
  EXPECT_FALSE(info.hasprev);
  EXPECT_EQ(info.cFiles, 2) << "IsCabinet does not follow the set";
  EXPECT_EQ(m_x.NextCabinet(), "SET2.CAB");
  EXPECT_NE(m_x.IsCabinet(Cab("set2.cab"), &info), 0);
  EXPECT_TRUE(info.hasprev);
  EXPECT_EQ(info.iCabinet, 1);

  struct Refused {
    std::string path;
    int error;
    std::string mention;
  };
  WriteFile(m_root / "tiny.cab", "MS");
  WriteFile(m_root / "empty.cab", "");
  const Refused refused[] = {
      {Cab("text.cab"), 2, "starts with 54 68 69 73, not \"MSCF\""},
      {(m_root / "tiny.cab").string(), 2, "tiny.cab"},
      {(m_root / "empty.cab").string(), 2, "empty.cab"},
      {Cab("cryp.cab"), 1008, "CRYP"},
      {Cab("nothing.cab"), 1, "nothing.cab: No such file or directory"},
      {m_cabs.string(), 2, "is not a regular file"},
  };
  for (const Refused& r : refused) {
    EXPECT_EQ(m_x.IsCabinet(r.path, &info), 0) << r.path;
    EXPECT_EQ(m_x.GetLastError(), r.error) << r.path << ": " << m_x.GetLastErrorText();
    EXPECT_NE(m_x.GetLastErrorDetail().find(r.mention), std::string::npos) << m_x.GetLastErrorText();
  }
}

TEST_F(CExtractTest, StoredAndMszipCabinetsUnpackIntoNewFoldersWithTimeAndMode) {
  for (const char* cab : {"plain.cab", "mszip.cab"}) {
    SCOPED_TRACE(cab);
    std::filesystem::path target = Out() / cab / "Product";  // neither folder exists yet
    m_x.SetSyncFiles(std::string(cab) == "mszip.cab");
    int marker = 0;
    ASSERT_EQ(m_x.ExtractFile(Cab(cab), target.string(), &marker), 1) << m_x.GetLastErrorText();
    EXPECT_EQ(m_x.Param(), &marker);
    EXPECT_EQ(CabinetFixtures::Tree(target), kPlainTree);
    // times before contents: reading may move the access time
    struct stat st = StatOf(target / "Bin/Writer.exe");
    EXPECT_EQ(st.st_mtim.tv_sec, kStampKst) << "local time of the cabinet in KST";
    EXPECT_EQ(st.st_atim.tv_sec, kStampKst);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(ModeOf(target / "Bin"), 0755u) << "new folders follow the umask";

    for (const char* file : {"Bin/Writer.exe", "readme.txt", "data/big.bin", "empty.txt"})
      EXPECT_EQ(ReadFile(target / file), Source(file)) << file;
  }
}

TEST_F(CExtractTest, AttributesBecomeModesAndTheUtcBitChangesTheClock) {
  ASSERT_EQ(m_x.ExtractFile(Cab("attribs.cab"), Out().string()), 1) << m_x.GetLastErrorText();
  EXPECT_EQ(ModeOf(Out() / "ro.txt"), 0444u);
  EXPECT_EQ(ModeOf(Out() / "hidden.txt"), 0644u) << "hidden has no counterpart; the name stays";
  EXPECT_EQ(ModeOf(Out() / "tool.sh"), 0755u) << "the execute attribute";
  EXPECT_EQ(StatOf(Out() / "utc.txt").st_mtim.tv_sec, kStampUtc);
  EXPECT_EQ(StatOf(Out() / "local.txt").st_mtim.tv_sec, kStampKst);

  // A second run over the first: the read-only file is replaced, an
  // executable being replaced stays executable, a tighter umask counts, and
  // files not in the cabinet are left alone.
  WriteFile(Out() / "keep.dll", "not in the cabinet");
  chmod((Out() / "local.txt").c_str(), 0750);
  WriteFile(Out() / "ro.txt", "stale");
  chmod((Out() / "ro.txt").c_str(), 0444);
  umask(027);
  ASSERT_EQ(m_x.ExtractFile(Cab("attribs.cab"), Out().string()), 1) << m_x.GetLastErrorText();
  EXPECT_EQ(ReadFile(Out() / "ro.txt"), "content of ro.txt\n");
  EXPECT_EQ(ModeOf(Out() / "ro.txt"), 0440u);
  EXPECT_EQ(ModeOf(Out() / "tool.sh"), 0750u);
  EXPECT_EQ(ModeOf(Out() / "hidden.txt"), 0640u);
  EXPECT_EQ(ModeOf(Out() / "local.txt"), 0750u) << "execute bits of the replaced file are kept";
  EXPECT_EQ(ReadFile(Out() / "keep.dll"), "not in the cabinet");
  EXPECT_EQ(CabinetFixtures::Leftovers(Out()), Strings{});
}

TEST_F(CExtractTest, AFileThatCannotBeWrittenEndsTheExtractionWithoutAPartialCopy) {
  // a folder where data/big.bin belongs: the files before it stay
  WriteFile(Out() / "data/big.bin/inside.txt", "in the way");
  EXPECT_EQ(m_x.ExtractFile(Cab("mszip.cab"), Out().string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 8);
  EXPECT_NE(m_x.GetLastErrorDetail().find("cannot replace " + (Out() / "data/big.bin").string()), std::string::npos)
      << m_x.GetLastErrorText();
  EXPECT_EQ(CabinetFixtures::Tree(Out()),
            (Strings{"Bin", "Bin/Writer.exe", "data", "data/big.bin", "data/big.bin/inside.txt", "readme.txt"}))
      << "empty.txt comes after the failure and must not be written";
  EXPECT_EQ(ReadFile(Out() / "Bin/Writer.exe"), Source("Bin/Writer.exe"));

  // a file where the folder Bin belongs: fails at the first entry
  std::filesystem::path other = m_root / "other";
  WriteFile(other / "Bin", "a file, not a folder");
  EXPECT_EQ(m_x.ExtractFile(Cab("plain.cab"), other.string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 8);
  EXPECT_EQ(m_x.GetLastErrorDetail(), "cannot create folder " + (other / "Bin").string() +
                                          ": a file of that name is in the way");
  EXPECT_EQ(CabinetFixtures::Tree(other), Strings{"Bin"});
}

TEST_F(CExtractTest, ReadOnlyFolderRefusesTheFilesWithError8) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders; run as an ordinary user";
  std::filesystem::create_directories(Out() / "Bin");
  chmod((Out() / "Bin").c_str(), 0555);
  EXPECT_EQ(m_x.ExtractFile(Cab("plain.cab"), Out().string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 8);
  EXPECT_NE(m_x.GetLastErrorDetail().find("Permission denied"), std::string::npos) << m_x.GetLastErrorText();
  EXPECT_EQ(CabinetFixtures::Tree(Out()), Strings{"Bin"});
  chmod((Out() / "Bin").c_str(), 0755);
}

TEST_F(CExtractTest, NamesAreDecodedOnTheWayToDisk) {
  ASSERT_EQ(m_x.ExtractFile(Cab("names.cab"), Out().string()), 1) << m_x.GetLastErrorText();
  EXPECT_EQ(CabinetFixtures::Tree(Out()), (Strings{"café.txt", "한글-949.txt", "한글.txt"}));
  EXPECT_EQ(ReadFile(Out() / "한글-949.txt"), "cp949 name\n");
  EXPECT_EQ(ReadFile(Out() / "café.txt"), "latin-1 name\n");

  std::vector<CabinetEntry> entries;
  ASSERT_EQ(m_x.ListFiles(Cab("names.cab"), entries), 1);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "한글.txt");
  EXPECT_EQ(entries[1].name, "한글-949.txt");
  EXPECT_EQ(entries[2].name, "café.txt");
  EXPECT_EQ(entries[2].size, 13u);
}

TEST_F(CExtractTest, TheSizeLimitCountsEveryUnpackedByte) {
  constexpr uint64_t kPlainTotal = 15 + 30 + 150000 + 0;
  m_x.SetSizeLimit(kPlainTotal - 1);
  EXPECT_EQ(m_x.ExtractFile(Cab("plain.cab"), Out().string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 4);
  EXPECT_EQ(m_x.GetLastErrorDetail(),
            Cab("plain.cab") + " unpacks to 150045 bytes, more than the limit of 150044");
  EXPECT_FALSE(std::filesystem::exists(Out())) << "refused before anything was written";
  m_x.SetSizeLimit(kPlainTotal);
  EXPECT_EQ(m_x.ExtractFile(Cab("plain.cab"), Out().string()), 1) << m_x.GetLastErrorText();
  EXPECT_EQ(CabinetFixtures::Tree(Out()), kPlainTree);
}

// What the path shows after the check, and anything past the checked length,
// never reaches the target.
TEST_F(CExtractTest, AnOpenCabinetIsReadFromItsDescriptorAloneAndOnlyAsFarAsAllowed) {
  const std::string path = (m_root / "update.cab").string();
  std::filesystem::copy_file(Cab("plain.cab"), path);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const uint64_t length = std::filesystem::file_size(path);
  // the path now shows another cabinet, and the descriptor's offset is moved
  std::filesystem::copy_file(Cab("attribs.cab"), m_root / "other.cab");
  std::filesystem::rename(m_root / "other.cab", path);
  ASSERT_EQ(lseek(fd, 7, SEEK_SET), 7);

  ASSERT_EQ(m_x.ExtractOpenFile(fd, length, path, Out().string()), 1) << m_x.GetLastErrorText();
  EXPECT_EQ(CabinetFixtures::Tree(Out()), kPlainTree);
  EXPECT_EQ(ReadFile(Out() / "data/big.bin"), Source("data/big.bin"));
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 7) << "reads do not move the caller's offset";
  EXPECT_EQ(m_x.Written().at("Bin"), std::set<std::string>{"Writer.exe"});

  // the same file allowed only up to half its length: the data beyond is not there
  const std::filesystem::path cut = m_root / "cut";
  EXPECT_EQ(m_x.ExtractOpenFile(fd, length / 2, path, cut.string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 4) << m_x.GetLastErrorText();
  EXPECT_NE(m_x.GetLastErrorDetail().find(path), std::string::npos) << m_x.GetLastErrorText();
  EXPECT_FALSE(std::filesystem::exists(cut / "data/big.bin"));
  EXPECT_EQ(CabinetFixtures::Leftovers(cut), Strings{});
  close(fd);

  // a set would need its successor opened by name: refused before writing
  const int first = open(Cab("set1.cab").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(first, 0);
  EXPECT_EQ(m_x.ExtractOpenFile(first, std::filesystem::file_size(Cab("set1.cab")), Cab("set1.cab"),
                                (m_root / "set").string()),
            0);
  EXPECT_EQ(m_x.GetLastError(), 10);
  EXPECT_NE(m_x.GetLastErrorDetail().find("continues in SET2.CAB"), std::string::npos) << m_x.GetLastErrorText();
  EXPECT_FALSE(std::filesystem::exists(m_root / "set"));
  close(first);

  // no descriptor, or one that is not a file
  EXPECT_EQ(m_x.ExtractOpenFile(-1, 100, path, Out().string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 1);
  const int folder = open(m_cabs.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_EQ(m_x.ExtractOpenFile(folder, 100, m_cabs.string(), Out().string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 2);
  close(folder);
}

TEST_F(CExtractTest, NothingIsWrittenThroughALinkBelowTheTargetAndNewFoldersGetTheirMode) {
  const std::filesystem::path etc = m_root / "etc";
  std::filesystem::create_directories(etc);
  std::filesystem::create_directories(Out());
  std::filesystem::create_directory_symlink(etc, Out() / "data");
  umask(077);
  EXPECT_EQ(m_x.ExtractFile(Cab("plain.cab"), Out().string()), 0);
  EXPECT_EQ(m_x.GetLastError(), 1009);
  EXPECT_NE(m_x.GetLastErrorDetail().find((Out() / "data").string() + " is a symbolic link"), std::string::npos)
      << m_x.GetLastErrorText();
  EXPECT_EQ(CabinetFixtures::Tree(etc), Strings{}) << "nothing lands where the link points";
  EXPECT_EQ(ModeOf(Out() / "Bin"), 0755u) << "a new folder has its mode whatever the umask";
  EXPECT_EQ(CabinetFixtures::Leftovers(Out()), Strings{});

  // the target's own path may be a link: an administrator's choice
  std::filesystem::create_directories(m_root / "real");
  std::filesystem::create_directory_symlink(m_root / "real", m_root / "linked");
  ASSERT_EQ(m_x.ExtractFile(Cab("plain.cab"), (m_root / "linked" / "Product").string()), 1) << m_x.GetLastErrorText();
  EXPECT_EQ(CabinetFixtures::Tree(m_root / "real" / "Product"), kPlainTree);
  EXPECT_EQ(ModeOf(m_root / "real" / "Product"), 0755u);
  EXPECT_EQ(ModeOf(m_root / "real" / "Product" / "data"), 0755u);
}

}  // namespace
}  // namespace Cabinet::test
