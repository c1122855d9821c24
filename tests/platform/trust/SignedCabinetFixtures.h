#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qrv::test {

// The signed cabinets of tests/support/make_signed_cabinets.sh: a test PKI,
// cabinets signed by osslsigncode (some with RFC 3161 timestamps) and
// damaged copies. The script runs once per test process, into the process's
// private test folder (QRVUPDATE_ROOT, set by the test main); each test then
// copies the set below its own SandboxRoot and works on the copy.
//
// Thread: the test's main thread.
class SignedCabinetFixtures {
 public:
  // Copies the made set (cabinets, anchors.pem, untrusted-anchor.pem, pki/)
  // into `folder` and returns it. Fails the test when the script fails.
  static std::filesystem::path CopyTo(const std::filesystem::path& folder);

  // The names of every *.cab of the set, sorted.
  static std::vector<std::string> CabinetNames();
};

// Little-endian helpers for byte surgery on cabinet headers.
uint32_t ReadU32(const std::string& bytes, size_t offset);
void WriteU32(std::string& bytes, size_t offset, uint32_t value);

}  // namespace qrv::test
