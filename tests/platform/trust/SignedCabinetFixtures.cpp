#include "tests/platform/trust/SignedCabinetFixtures.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>

#include "tests/support/ProcessRunner.h"

namespace qrv::test {
namespace {

namespace fs = std::filesystem;

// Made once; empty when the script failed (every later test fails at once
// instead of running it again).
const fs::path& MadeFolder() {
  static const fs::path folder = [] {
    const char* base = getenv("QRVUPDATE_ROOT");
    fs::path out = fs::path(base != nullptr && *base != '\0' ? base : "/tmp") / "signed-cabinets";
    std::error_code ec;
    fs::remove_all(out, ec);
    const fs::path script = fs::path(__FILE__).parent_path().parent_path().parent_path() / "support" /
                            "make_signed_cabinets.sh";
    ProcessResult r = RunProcess("/bin/bash", {script.string(), out.string()});
    if (r.exitCode != 0) {
      ADD_FAILURE() << script << " failed (" << r.exitCode << "):\n" << r.out << r.err;
      return fs::path();
    }
    return out;
  }();
  return folder;
}

}  // namespace

fs::path SignedCabinetFixtures::CopyTo(const fs::path& folder) {
  const fs::path& made = MadeFolder();
  EXPECT_FALSE(made.empty()) << "no signed-cabinet fixtures";
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (!made.empty()) fs::copy(made, folder, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  EXPECT_FALSE(ec) << "cannot copy the fixtures to " << folder << ": " << ec.message();
  return folder;
}

std::vector<std::string> SignedCabinetFixtures::CabinetNames() {
  std::vector<std::string> names;
  const fs::path& made = MadeFolder();
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(made, ec)) {
    if (entry.path().extension() == ".cab") names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

uint32_t ReadU32(const std::string& bytes, size_t offset) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes.at(offset + i))) << (8 * i);
  return v;
}

void WriteU32(std::string& bytes, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace qrv::test
