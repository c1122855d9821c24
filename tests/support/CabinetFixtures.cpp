#include "tests/support/CabinetFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/ProcessRunner.h"

namespace qrv::test {

std::filesystem::path CabinetFixtures::Make(const std::filesystem::path& folder) {
  std::string script = std::string(QRV_SOURCE_DIR) + "/tests/support/make_cabinets.sh";
  ProcessResult r = RunProcess("/bin/sh", {script, folder.string()});
  if (r.exitCode != 0) ADD_FAILURE() << script << " failed (" << r.exitCode << "): " << r.err;
  return folder;
}

std::vector<std::string> CabinetFixtures::Tree(const std::filesystem::path& root) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    out.push_back(std::filesystem::relative(it->path(), root).generic_string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> CabinetFixtures::Leftovers(const std::filesystem::path& root) {
  std::vector<std::string> out;
  for (const std::string& path : Tree(root)) {
    if (path.find(".qrv-") != std::string::npos) out.push_back(path);
  }
  return out;
}

}  // namespace qrv::test
