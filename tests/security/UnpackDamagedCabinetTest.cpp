// Maker-signed cabinets that cannot be unpacked, and a disk with no room: the
// copy fails the product (level not recorded, state 23, reason told) and the
// next run offers the update again and unpacks it whole.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/apply/ApplyFixtures.h"
#include "tests/platform/trust/SignedCabinetFixtures.h"
#include "tests/security/UnpackAttackFixture.h"
#include "tests/support/ProcessRunner.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

// CFHEADER and CFFILE fields of an unsigned cabinet (no reserved area).
constexpr size_t kCoffFiles = 16;
constexpr size_t kCFiles = 28;
constexpr size_t kFirstFolder = 36;

uint16_t ReadU16(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                               (static_cast<unsigned char>(bytes[at + 1]) << 8));
}

// The offset of the CFFILE entry named name; npos when there is none.
size_t EntryOffset(const std::string& bytes, const std::string& name) {
  size_t at = test::ReadU32(bytes, kCoffFiles);
  for (uint16_t i = 0; i < ReadU16(bytes, kCFiles) && at + 16 < bytes.size(); ++i) {
    const size_t end = bytes.find('\0', at + 16);
    if (end == std::string::npos) break;
    if (bytes.compare(at + 16, end - at - 16, name) == 0) return at;
    at = end + 1;
  }
  return std::string::npos;
}

class UnpackDamagedCabinetTest : public test::UnpackAttackFixture {
 protected:
  // Serves bytes, signed as the maker, as Calc's cabinet.
  void ServeSignedCalc(const std::string& unsignedBytes) {
    const fs::path raw = m_root / "maker" / "calc-damaged.cab";
    WriteFile(raw, unsignedBytes);
    test::ApplyFixtures::SignAsMaker(m_fixtures, raw, m_root / "srv" / "calc" / "calc.cab");
  }
  // gcab's cabinet of files; compressed with MSZIP when asked.
  std::string Packed(const std::map<std::string, std::string>& files, bool mszip) {
    const fs::path work = m_root / "maker" / "src";
    fs::remove_all(work);
    std::vector<std::string> args{"-c"};
    if (mszip) args.push_back("-z");
    const fs::path out = m_root / "maker" / "packed.cab";
    args.push_back(out.string());
    for (const auto& [name, content] : files) {
      WriteFile(work / name, content);
      args.push_back(name);
    }
    // gcab keeps the names as given, so it runs in the work folder.
    std::string script = "cd '" + work.string() + "' && gcab";
    for (const std::string& a : args) script += " '" + a + "'";
    const test::ProcessResult r = test::RunProcess("/bin/sh", {"-c", script});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return ReadFile(out);
  }
  // Runs the copy of a downloaded run and checks it failed Calc with reason.
  void ExpectCopyFailsCalc(const std::string& reason) {
    m_window->UpdateWait();
    EXPECT_NE(m_window->UpdateCopyFile(), 1);
    EXPECT_EQ(State(), 23u);
    EXPECT_EQ(m_window->events.back(), "CopyError@23");
    EXPECT_EQ(Version("Calc"), 5u) << "not recorded: the next run must offer it again";
    EXPECT_EQ(Backup("Calc"), CQUpdateMgrEnv::kMissing);
    EXPECT_TRUE(m_diagnostics.HasTogether({"update of Calc failed", m_calcCab, reason})) << m_diagnostics.Text();
  }
  void ServeGoodCalcAgain() { ServeCabinet("calc/calc.cab", {{"calc.txt", "calc 6"}}); }
};

TEST_F(UnpackDamagedCabinetTest, AnEntryThatClaimsMoreBytesThanTheCabinetHoldsFailsTheProduct) {
  std::string bytes = Packed({{"calc.txt", "calc 6"}, {"z.txt", std::string(100, 'z')}}, false);
  const size_t entry = EntryOffset(bytes, "z.txt");
  ASSERT_NE(entry, std::string::npos);
  test::WriteU32(bytes, entry, 100 + 5000);
  ServeSignedCalc(bytes);

  Downloaded();
  ExpectCopyFailsCalc("z.txt in " + m_calcCab);
  EXPECT_FALSE(fs::exists(Install("Calc") / "z.txt")) << "no partial file under the real name";

  ServeGoodCalcAgain();
  ExpectOfferedAgainAndAppliedWhole();
}

// The maker signed a cabinet whose compressed data was damaged before it
// was signed: the signature holds, the data block's checksum does not.
TEST_F(UnpackDamagedCabinetTest, DamagedDataUnderAValidSignatureFailsTheProduct) {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "calc line " + std::to_string(i * 7919 % 1000) + "\n";
  std::string bytes = Packed({{"a.txt", "first, whole"}, {"calc.txt", text}}, true);
  const size_t data = test::ReadU32(bytes, kFirstFolder);  // coffCabStart of the only folder
  ASSERT_LT(data + 200, bytes.size());
  for (size_t at = data + 8 + 40; at < data + 8 + 60; ++at) bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
  ServeSignedCalc(bytes);

  Downloaded();
  ExpectCopyFailsCalc("checksum error in a data block");
  EXPECT_TRUE(test::CabinetFixtures::Leftovers(Install("Calc")).empty());

  ServeGoodCalcAgain();
  ExpectOfferedAgainAndAppliedWhole();
}

// No room on the disk: the file cannot be written in place nor in the
// holding folder. A per-process file size limit makes every write past it
// fail the way a full disk does, without touching a real file system.
TEST_F(UnpackDamagedCabinetTest, NoRoomInPlaceNorInTheHoldingFolderFailsTheProduct) {
  std::string big;
  big.reserve(3 << 20);
  for (uint32_t i = 0; big.size() < (3u << 20); ++i) big += std::to_string(i * 2654435761u) + ",";
  ServeCabinet("calc/calc.cab", {{"calc.txt", "calc 6"}, {"data/big.bin", big}});
  Downloaded();

  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 1 << 20;
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  m_window->UpdateWait();
  const int32_t copied = m_window->UpdateCopyFile();
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_NE(copied, 1);
  EXPECT_EQ(State(), 23u);
  EXPECT_EQ(Version("Calc"), 5u);
  EXPECT_TRUE(m_diagnostics.HasTogether({"update of Calc failed", "nor into the holding folder", "File too large"}))
      << m_diagnostics.Text();
  EXPECT_FALSE(fs::exists(Install("Calc") / "data" / "big.bin"));
  EXPECT_TRUE(test::CabinetFixtures::Leftovers(Install("Calc")).empty());

  ExpectOfferedAgainAndAppliedWhole();
  EXPECT_EQ(ReadFile(Install("Calc") / "data" / "big.bin"), big);
}

}  // namespace
}  // namespace qrv
