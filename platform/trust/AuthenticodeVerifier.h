#pragma once

#include <string>
#include <vector>

#include "platform/trust/AuthenticodeResult.h"

namespace qrv::platform {

// Checks the Authenticode signature of a cabinet file, in place of the
// platform trust provider of the original system.
//
// A file is accepted when all of this holds:
// - it is a cabinet whose reserved header points at a DER PKCS#7 SignedData
//   that ends the file (only zero padding to a multiple of 8 may follow it),
//   and every header byte the digest skips holds its one allowed value;
// - the signed content is an SpcIndirectDataContent for a cabinet
//   (1.3.6.1.4.1.311.2.1.4 / .25) whose SHA-1, SHA-256, SHA-384 or SHA-512
//   digest equals the file's recomputed digest (MD5 is refused);
// - it has exactly one signer, whose certificate is in the signature and
//   whose signature over the content verifies;
// - the signing certificate allows digital signatures and code signing (see
//   ChainVerifier::HasUsage) and chains to a trust anchor: the system bundle
//   plus `anchorFiles`, at the time of a valid timestamp when the signer has
//   one (TimestampVerifier), else now.
// Anything else refuses the file; see AuthenticodeResult::Status.
//
// The file is read once, streaming: memory use does not grow with its size.
// Malformed input of any kind yields a refusal, never a crash or exception.
//
// Thread: any; calls share no state.
class AuthenticodeVerifier {
 public:
  // Fills `result` and returns result.Accepted(). `anchorFiles` are PEM files
  // whose certificates are trusted besides the system's; empty entries are
  // ignored. On refusal LastError holds result.reason as well.
  static bool Verify(const std::string& path, const std::vector<std::string>& anchorFiles,
                     AuthenticodeResult& result);

  // The same for a file the caller has open (read-only will do): only pread
  // is used, on a duplicate of `fd`, so the caller's offset does not move and
  // whoever reads `fd` afterwards reads the very bytes that were checked, even
  // when the path has been replaced meanwhile. `shownPath` names the file in
  // the reason.
  static bool VerifyDescriptor(int fd, const std::string& shownPath, const std::vector<std::string>& anchorFiles,
                               AuthenticodeResult& result);
};

}  // namespace qrv::platform
