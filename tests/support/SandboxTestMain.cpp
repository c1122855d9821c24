#include "tests/support/SandboxTestMain.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace qrv::test {

int RunTestsInSandbox(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const char* tmp = getenv("TMPDIR");
  std::string base = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qrv-test-XXXXXX";
  if (mkdtemp(base.data()) == nullptr) {
    perror("cannot make the test folder");
    return 1;
  }
  std::filesystem::create_directories(base + "/tmp");
  setenv("QRVUPDATE_ROOT", base.c_str(), 1);
  setenv("TMPDIR", (base + "/tmp").c_str(), 1);
  int result = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(base, ec);
  return result;
}

}  // namespace qrv::test
