// The fuzz target must keep building and must survive every fixture, good
// and damaged; the normal build links it with a driver that replays files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/platform/trust/SignedCabinetFixtures.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

TEST(SignatureFuzzReplayTest, EveryFixtureRunsThroughTheFuzzTarget) {
  test::SandboxRoot root;
  const std::filesystem::path dir = test::SignedCabinetFixtures::CopyTo(root / "fixtures");
  std::vector<std::string> files;
  for (const std::string& name : test::SignedCabinetFixtures::CabinetNames()) files.push_back((dir / name).string());
  files.push_back((dir / "anchors.pem").string());
  ASSERT_GT(files.size(), 20u);
  test::ProcessResult r = test::RunProcess(QRV_FUZZ_SIGNATURE, files, {{"TMPDIR", root.Tmp().string()}});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("replayed " + std::to_string(files.size()) + " inputs"), std::string::npos) << r.out;
  // the target cleans up its temporary files
  EXPECT_TRUE(std::filesystem::is_empty(root.Tmp()));
}

}  // namespace
}  // namespace qrv::platform
