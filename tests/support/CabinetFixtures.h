#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qrv::test {

// The cabinets of tests/support/make_cabinets.sh, made afresh at test time
// (its header lists them), and small helpers to look at what an extraction
// left behind.
class CabinetFixtures {
 public:
  // Runs the script into folder (created when missing) and returns folder;
  // fails the test when the script fails.
  static std::filesystem::path Make(const std::filesystem::path& folder);

  // Every file and folder below root, as sorted relative paths with '/'
  // ("Bin", "Bin/Writer.exe"); empty when root does not exist.
  static std::vector<std::string> Tree(const std::filesystem::path& root);

  // The temporaries an extraction left below root (names holding ".qrv-").
  static std::vector<std::string> Leftovers(const std::filesystem::path& root);
};

}  // namespace qrv::test
