#pragma once

#include <openssl/types.h>
#include <openssl/x509.h>

#include <cstddef>
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
// A chain that checked out is remembered with the store it was checked
// against (the same kept store, not a reloaded one), the certificates it was
// built from (the leaf and the untrusted ones, by SHA-256) and the time span
// in which every certificate of the chain is valid: checking the same chain
// again at a time inside that span answers kAccepted without building and
// verifying it anew. A run's cabinets are all signed by the same chain, and
// that verification was the larger part of a small file's check. Refusals
// are never remembered; at most kMaxGoodChains chains are.
//
// Thread: one object per thread; objects on several threads may share the
// kept store.
class ChainVerifier {
 public:
  using Status = AuthenticodeResult::Status;
  enum class Usage { kCodeSigning, kTimeStamping };
  static constexpr size_t kMaxGoodChains = 64;

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
  // Which kept store m_store is (0: one that is not kept; its chains are
  // not remembered).
  uint64_t m_generation = 0;
};

}  // namespace qrv::platform
