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

void ApplyFixtures::SignAs(const fs::path& fixtures, const std::string& signer, const fs::path& unsignedCab,
                           const fs::path& out) {
  const fs::path pki = fixtures / "pki";
  std::error_code ec;
  fs::remove(out, ec);
  fs::create_directories(out.parent_path(), ec);
  ProcessResult r = RunProcess("/usr/bin/osslsigncode",
                               {"sign", "-certs", (pki / (signer + ".chain.pem")).string(), "-key",
                                (pki / (signer + ".key")).string(), "-h", "sha256", "-in", unsignedCab.string(),
                                "-out", out.string()});
  ASSERT_EQ(r.exitCode, 0) << "osslsigncode failed for " << unsignedCab << " as " << signer << ": " << r.out << r.err;
}

void ApplyFixtures::SignAsMaker(const fs::path& fixtures, const fs::path& unsignedCab, const fs::path& out) {
  SignAs(fixtures, "maker", unsignedCab, out);
}

void ApplyFixtures::MakeSignedCabinet(const fs::path& fixtures, const fs::path& out,
                                      const std::map<std::string, std::string>& files, const std::string& signer) {
  const fs::path raw = out.string() + ".unsigned";
  std::error_code ec;
  fs::create_directories(out.parent_path(), ec);
  MakeCabinet(raw, files);
  SignAs(fixtures, signer, raw, out);
  fs::remove(raw, ec);
}

}  // namespace qrv::test
