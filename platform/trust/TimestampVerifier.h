#pragma once

#include <openssl/pkcs7.h>

#include <cstdint>
#include <string>

namespace qrv::platform {

class ChainVerifier;

// Internal to platform/trust: finds a valid timestamp on a signer, so that
// a certificate that has expired since still verifies at the time it signed.
//
// A timestamp is a countersignature in the signer's unauthenticated
// attributes over the signer's encrypted digest: either the old
// Authenticode form (1.2.840.113549.1.9.6, a SignerInfo whose certificate
// is in the outer certificate set, time = its signingTime) or an RFC 3161
// token (1.3.6.1.4.1.311.3.3.1, a CMS SignedData of a TSTInfo whose message
// imprint hashes the encrypted digest, time = genTime). It counts only when
// its own signature verifies, the stamping certificate allows time stamping
// and chains to the same anchors at the stamped time.
//
// Thread: any; works only on its arguments.
class TimestampVerifier {
 public:
  // True with the stamped time (Unix seconds) from the first valid
  // timestamp. False when there is none or none is valid; `why` then says
  // what was wrong with the last one seen (empty when there was none).
  static bool Find(PKCS7* signedData, PKCS7_SIGNER_INFO* signer, const ChainVerifier& chain, int64_t& when,
                   std::string& why);
};

}  // namespace qrv::platform
