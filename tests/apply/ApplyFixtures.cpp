#include "tests/apply/ApplyFixtures.h"

#include <gtest/gtest.h>

#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::test {

namespace fs = std::filesystem;

void ApplyFixtures::MakeCabinet(const fs::path& cabinet, const std::map<std::string, std::string>& files) {
  const fs::path work = cabinet.parent_path() / (cabinet.filename().string() + ".src");
  std::error_code ec;
  fs::remove_all(work, ec);
  std::string names;
  for (const auto& [name, content] : files) {
    WriteFile(work / name, content);
    names += " '" + name + "'";
  }
  // gcab keeps the paths as given, so it runs in the work folder.
  ProcessResult r = RunProcess("/bin/sh", {"-c", "cd '" + work.string() + "' && gcab -c '" + cabinet.string() +
                                                      "'" + names});
  ASSERT_EQ(r.exitCode, 0) << "gcab failed for " << cabinet << ": " << r.err;
  fs::remove_all(work, ec);
}

void ApplyFixtures::SignAsMaker(const fs::path& fixtures, const fs::path& unsignedCab, const fs::path& out) {
  const fs::path pki = fixtures / "pki";
  std::error_code ec;
  fs::remove(out, ec);
  ProcessResult r = RunProcess("/usr/bin/osslsigncode", {"sign", "-certs", (pki / "maker.chain.pem").string(), "-key",
                                                (pki / "maker.key").string(), "-h", "sha256", "-in",
                                                unsignedCab.string(), "-out", out.string()});
  ASSERT_EQ(r.exitCode, 0) << "osslsigncode failed for " << unsignedCab << ": " << r.out << r.err;
}

}  // namespace qrv::test
