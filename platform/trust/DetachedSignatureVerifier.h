#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/trust/AuthenticodeResult.h"

namespace qrv::platform {

// Checks a detached CMS signature (a ".p7s" file) over bytes the caller
// already holds in memory, such as an update-information file: the caller
// reads the file once, checks those bytes here and then uses the very same
// bytes, so nothing can change between the check and the use.
//
// The signature is accepted when all of this holds:
// - it is DER CMS SignedData without encapsulated content (detached), whose
//   content type is id-data, and nothing follows it;
// - it has exactly one signer, whose certificate is in the signature, whose
//   digest is SHA-256, SHA-384 or SHA-512 and whose signature over `content`
//   (exactly those bytes, no line-ending translation) verifies;
// - the signing certificate allows digital signatures and code signing and
//   chains to a trust anchor now (ChainVerifier: the system bundle plus
//   `anchorFiles`), as for signed cabinets.
// The result reuses AuthenticodeResult: the same statuses, reason, signer
// certificate and subject (cabinetLength and timestamped stay unset).
//
// Malformed input of any kind yields a refusal, never a crash or exception.
//
// Thread: any; calls share no state but ChainVerifier's kept store.
class DetachedSignatureVerifier {
 public:
  // A signature file larger than this is refused unread: one signer's
  // certificate chain fits many times over.
  static constexpr size_t kMaxSignatureBytes = size_t{256} << 10;

  // Fills `result` and returns result.Accepted(). `shownPath` names the
  // signed file in the reason. On refusal LastError holds result.reason too.
  static bool Verify(std::string_view content, std::string_view signature, const std::string& shownPath,
                     const std::vector<std::string>& anchorFiles, AuthenticodeResult& result);
};

}  // namespace qrv::platform
