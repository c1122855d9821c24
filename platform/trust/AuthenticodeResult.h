#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qrv::platform {

// What AuthenticodeVerifier found out about one file.
struct AuthenticodeResult {
  enum class Status {
    kAccepted,            // signature, digest, chain and usage all check out
    kUnreadable,          // the file cannot be opened or read
    kNotCabinet,          // no "MSCF" magic: no signature format we know
    kNotSigned,           // a cabinet without an Authenticode signature
    kMalformed,           // a damaged header or signature, or bytes no signature covers
    kBadDigest,           // the file's content differs from what was signed
    kBadSignature,        // the signer's signature does not verify, or no signer certificate
    kUntrusted,           // the signer does not chain to a trust anchor
    kExpired,             // a certificate of the chain is not valid at the verification time
    kWrongUsage,          // the signing certificate is not meant for code signing
    kAnchorsUnavailable,  // a trust-anchors file is missing, unreadable or empty
  };

  Status status = Status::kMalformed;
  // Why the file was refused, with the path and the values involved; empty
  // when accepted.
  std::string reason;
  // The signing certificate (DER) and its subject as X.500 text. Filled as
  // soon as the signer's signature checks out, so a refusal for the chain or
  // the usage still says who signed; empty otherwise.
  std::vector<uint8_t> signerCertificate;
  std::string subject;
  // True when a valid timestamp set the verification time.
  bool timestamped = false;
  // The time (Unix seconds) the chain was checked at: the timestamp's time,
  // else the time of the check. 0 when the check did not get that far.
  int64_t verificationTime = 0;
  // The bytes before the signature, the cabinet proper (its cbCabinet): all
  // a reader of an accepted file needs, and all the signature vouches for.
  // Set once the layout checks out; 0 before.
  uint64_t cabinetLength = 0;

  bool Accepted() const { return status == Status::kAccepted; }
  // A short lower-case name of a status ("bad digest"), for messages.
  static const char* StatusName(Status status);
};

}  // namespace qrv::platform
