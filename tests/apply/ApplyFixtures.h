#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace qrv::test {

// Cabinets for the applying tests, made at test time: gcab packs files given
// by relative name and content; SignAs signs one with a certificate of the
// signed-cabinet fixtures (osslsigncode); signed as the maker (SignAsMaker)
// it passes the signature check once their anchors.pem is trusted.
//
// Thread: the test's main thread. Failures fail the current test.
class ApplyFixtures {
 public:
  // Writes files (relative name -> content) below a fresh work folder next
  // to cabinet and packs them, with their relative paths, into cabinet.
  static void MakeCabinet(const std::filesystem::path& cabinet, const std::map<std::string, std::string>& files);

  // Signs unsigned into out (replacing it, making its folder) with the
  // certificate of signer ("maker", "other", "untrusted" ...) found below the
  // copied signed-cabinet fixtures in fixtures (pki/<signer>.*).
  static void SignAs(const std::filesystem::path& fixtures, const std::string& signer,
                     const std::filesystem::path& unsignedCab, const std::filesystem::path& out);
  // SignAs the maker.
  static void SignAsMaker(const std::filesystem::path& fixtures, const std::filesystem::path& unsignedCab,
                          const std::filesystem::path& out);
  // MakeCabinet and SignAs in one: out is the signed cabinet of files; the
  // unsigned one is made beside it and removed.
  static void MakeSignedCabinet(const std::filesystem::path& fixtures, const std::filesystem::path& out,
                                const std::map<std::string, std::string>& files, const std::string& signer = "maker");
};

}  // namespace qrv::test
