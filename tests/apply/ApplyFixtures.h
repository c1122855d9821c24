#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace qrv::test {

// Cabinets for the applying tests, made at test time: gcab packs files given
// by relative name and content; SignAsMaker signs one with the maker's
// certificate of the signed-cabinet fixtures (osslsigncode), so the result
// passes the signature check once their anchors.pem is trusted.
//
// Thread: the test's main thread. Failures fail the current test.
class ApplyFixtures {
 public:
  // Writes files (relative name -> content) below a fresh work folder next
  // to cabinet and packs them, with their relative paths, into cabinet.
  static void MakeCabinet(const std::filesystem::path& cabinet, const std::map<std::string, std::string>& files);

  // Signs unsigned into out with the maker certificate found below the
  // copied signed-cabinet fixtures in fixtures (pki/maker.*).
  static void SignAsMaker(const std::filesystem::path& fixtures, const std::filesystem::path& unsignedCab,
                          const std::filesystem::path& out);
};

}  // namespace qrv::test
