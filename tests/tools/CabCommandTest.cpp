#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::tools {
namespace {

class CabCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    // the fixture maker sits in tests/support beside this folder
    std::filesystem::path tests = std::filesystem::path(__FILE__).parent_path().parent_path();
    std::string script = (tests / "support/make_cabinets.sh").string();
    test::ProcessResult r = test::RunProcess("/bin/sh", {script, m_cabs.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  test::ProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", m_root.Path().string(), "cab"});
    return test::RunProcess(QRVCTL_PATH, args);
  }
  std::string Cab(const std::string& name) const { return (m_cabs / name).string(); }

  test::SandboxRoot m_root;
  std::filesystem::path m_cabs = m_root / "cabs";
};

TEST_F(CabCommand, ListPrintsOneLinePerFileAndRefusesNonCabinets) {
  test::ProcessResult r = Run({"list", Cab("attribs.cab")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "ro.txt\t18\t2024-03-01 12:34:56\tR--A---\n"
            "hidden.txt\t22\t2024-03-01 12:34:56\t-H-A---\n"
            "utc.txt\t19\t2024-03-01 12:34:56\t---A--Z\n"
            "local.txt\t21\t2024-03-01 12:34:56\t---A---\n"
            "tool.sh\t19\t2024-03-01 12:34:56\t---AX--\n"
            "sys.txt\t19\t2024-03-01 12:34:56\t--SA---\n");

  r = Run({"list", Cab("mszip.cab")});
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "Bin/Writer.exe\t15\t2024-03-01 12:34:56\t---A---");
  r = Run({"list", Cab("names.cab")});
  EXPECT_EQ(r.out.substr(0, r.out.find('\t')), "한글.txt");
  EXPECT_NE(r.out.find("\n한글-949.txt\t"), std::string::npos) << r.out;
  r = Run({"list", Cab("set1.cab")});
  EXPECT_EQ(r.out.substr(r.out.rfind("two.txt")), "two.txt\t500\t2024-03-01 12:34:56\t---A---\n")
      << "the set is listed to its end";

  // a hostile name is shown escaped, on its one line, marked as refused
  r = Run({"list", Cab("unsafe-control.cab")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("\ntab\\tx.txt\t16\t2024-03-01 12:34:56\t---A---\t"
                       "refused: entry \"tab\\tx.txt\" holds a control character\n"),
            std::string::npos)
      << r.out;

  r = Run({"list", Cab("text.cab")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "qrvctl: cannot list " + Cab("text.cab") + ": The file is not a cabinet: " + Cab("text.cab") +
                       " starts with 54 68 69 73, not \"MSCF\" (error 2)\n");
  EXPECT_EQ(Run({"list"}).exitCode, 2);
  EXPECT_EQ(Run({"unpack", Cab("plain.cab")}).exitCode, 2);
}

TEST_F(CabCommand, ExtractUnpacksOrSaysWhyNot) {
  std::filesystem::path out = m_root / "out";
  test::ProcessResult r = Run({"extract", Cab("mszip.cab"), out.string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(test::ReadFile(out / "Bin/Writer.exe"), test::ReadFile(m_cabs / "src/Bin/Writer.exe"));
  EXPECT_EQ(test::ReadFile(out / "data/big.bin"), test::ReadFile(m_cabs / "src/data/big.bin"));

  r = Run({"extract", Cab("flipped.cab"), (m_root / "damaged").string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "qrvctl: cannot extract " + Cab("flipped.cab") + ": Corrupt cabinet: data/big.bin in " +
                       Cab("flipped.cab") + ": checksum error in a data block (error 4)\n");
  EXPECT_FALSE(std::filesystem::exists(m_root / "damaged/data/big.bin"));

  r = Run({"extract", Cab("cryp.cab"), out.string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("(error 1008)"), std::string::npos) << r.err;
  EXPECT_EQ(Run({"extract", Cab("plain.cab")}).exitCode, 2);
}

}  // namespace
}  // namespace qrv::tools
