#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ProcessRunner.h"

namespace qrv::test {

// The second local user of the attack tests: nobody (65534), reached
// through setpriv, which only root can do; tests skip without root and fail
// in CI (QRV_SKIP_UNLESS_SERVER), which runs as root.
class SecondUser {
 public:
  static constexpr unsigned kUid = 65534;

  // Whether this process can act as the second user.
  static bool Available();
  // Runs command (a program path and its arguments, no shell) as the
  // second user.
  static ProcessResult Run(const std::vector<std::string>& command);
  // Lets the second user reach path: adds search permission for others to
  // path and every folder above it that lacks it. Only adds, never takes
  // away; the test folders are private by default.
  static void LetReach(const std::filesystem::path& path);
};

}  // namespace qrv::test
