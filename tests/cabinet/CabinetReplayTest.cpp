// The fuzz target, in its replay build, over every fixture cabinet: the
// inputs the fuzzer starts from must run clean under the sanitizers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/CabinetFixtures.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"

namespace Cabinet::test {
namespace {

TEST(CabinetReplay, FuzzTargetRunsEveryFixtureCleanly) {
  qrv::test::SandboxRoot root;
  std::filesystem::path cabs = qrv::test::CabinetFixtures::Make(root / "cabs");
  std::vector<std::string> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(cabs)) {
    if (entry.path().extension() == ".cab") inputs.push_back(entry.path().string());
  }
  ASSERT_GE(inputs.size(), 18u);
  qrv::test::ProcessResult r =
      qrv::test::RunProcess(QRV_FUZZ_CABINET, inputs, {{"TMPDIR", root.Tmp().string()}});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "replayed " + std::to_string(inputs.size()) + " inputs\n");
  EXPECT_EQ(qrv::test::CabinetFixtures::Tree(root.Tmp()), std::vector<std::string>{})
      << "the target removes everything it makes";
}

}  // namespace
}  // namespace Cabinet::test
