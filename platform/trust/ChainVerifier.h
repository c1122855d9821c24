#pragma once

#include <openssl/types.h>
#include <openssl/x509.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/trust/AuthenticodeResult.h"

namespace qrv::platform {

// Internal to platform/trust: the trust anchors and the certificate checks
// shared by the signer and the timestamp authority.
//
// Anchors are the system CA bundle (OpenSSL's default paths, which honour
// SSL_CERT_FILE / SSL_CERT_DIR) plus the PEM files given to Load(). Chains
// are built with purpose "any" (OpenSSL 3.0 has no code-signing purpose) and
// the key usages are tested by hand. No revocation checks are made.
//
// The last store loaded is kept for the process and shared while neither
// the system bundle nor any anchors file has changed (by identity, size and
// change times): parsing the bundle costs far more than one check.
//
// Thread: one object per thread; objects on several threads may share the
// kept store.
class ChainVerifier {
 public:
  using Status = AuthenticodeResult::Status;
  enum class Usage { kCodeSigning, kTimeStamping };

  ChainVerifier();
  ~ChainVerifier();
  ChainVerifier(const ChainVerifier&) = delete;
  ChainVerifier& operator=(const ChainVerifier&) = delete;

  // Loads the system bundle and each non-empty path of `anchorFiles`. A
  // file that is missing, unreadable, holds no certificate, or that another
  // user could change (PrivateFolder::CheckTrustedFile) is an error
  // (kAnchorsUnavailable with the path and cause), never skipped quietly.
  Status Load(const std::vector<std::string>& anchorFiles, std::string& reason);

  // Builds and checks the chain of `leaf` through `untrusted` (may be null)
  // to an anchor at Unix time `when` (0: now). kAccepted, kExpired (a
  // certificate of the chain is outside its validity then) or kUntrusted,
  // with the failing certificate named in `reason`.
  Status Verify(X509* leaf, STACK_OF(X509) * untrusted, int64_t when, std::string& reason) const;

  // keyUsage, when present, must allow digitalSignature; for code signing an
  // extendedKeyUsage, when present, must name codeSigning; for time stamping
  // it must be present and name timeStamping.
  static bool HasUsage(X509* certificate, Usage usage, std::string& reason);

 private:
  X509_STORE* m_store = nullptr;
};

}  // namespace qrv::platform
