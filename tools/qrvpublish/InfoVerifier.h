#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qrv::tools {

// Checks the detached CMS signature of an information file (qupdate_s.ini
// or a product file) as the publisher's checker needs it: the signature
// must be a DER SignedData without content, of type id-data, with one
// SHA-256 signer whose signature verifies over exactly `content`; the
// signer's certificate must allow code signing and chain to the system's
// anchors plus `anchorFiles`, the rule the updater applies to cabinets
// (platform::ChainVerifier).
//
// Thread: any; calls share no state but the anchors kept by ChainVerifier.
class InfoVerifier {  // static functions only
 public:
  struct Result {
    // Why the signature is refused, with the values involved; empty when
    // accepted.
    std::string reason;
    // The signer (DER and X.500 subject) once its signature was found.
    std::vector<uint8_t> signerCertificate;
    std::string subject;
  };

  static bool Verify(const std::string& content, const std::string& signature,
                     const std::vector<std::string>& anchorFiles, Result& result);
};

}  // namespace qrv::tools
