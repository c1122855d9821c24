#pragma once

#include <openssl/types.h>
#include <openssl/x509.h>

#include <filesystem>
#include <string>

#include "tools/qrvpublish/CabinetSigner.h"

namespace qrv::tools {

// Signs the update information (qupdate_s.ini and the product files) with
// the key and certificate that sign the release's cabinets: beside each
// file F it writes F.p7s, a detached CMS SignedData (DER, SHA-256, the
// exact bytes of F as content, the signer's certificate and the rest of the
// chain included), which the updater checks with the cabinets' trust rule.
//
// The signature is made in this process with OpenSSL's CMS functions; only
// the cabinets' Authenticode, which OpenSSL does not implement, goes through
// osslsigncode. The key is read once, in Load, from the same places the
// cabinet signer takes it (a PEM or PKCS#12 file, or a PKCS#11 token
// through OpenSSL's pkcs11 engine), with the same pass phrase.
//
// Call order: Load once, then Sign for each file, each after its file is
// complete (the signature covers the bytes as they are then). Thread: one
// thread at a time. Owns the loaded key and certificates.
class InfoSigner {
 public:
  explicit InfoSigner(CabinetSigner::Key key) : m_key(std::move(key)) {}
  ~InfoSigner();
  InfoSigner(const InfoSigner&) = delete;
  InfoSigner& operator=(const InfoSigner&) = delete;

  // Reads the key and the certificate chain; false with the file (or token)
  // and the cause in `why`.
  bool Load(std::string& why);

  // Writes `file`.p7s (atomically) for the bytes `file` holds now; false
  // with the path and the cause in `why`.
  bool Sign(const std::filesystem::path& file, std::string& why) const;

 private:
  bool LoadPem(std::string& why);
  bool LoadPkcs12(std::string& why);
  bool LoadToken(std::string& why);

  CabinetSigner::Key m_key;
  EVP_PKEY* m_privateKey = nullptr;
  X509* m_certificate = nullptr;
  STACK_OF(X509)* m_chain = nullptr;  // the certificates after the signer's
  ENGINE* m_engine = nullptr;         // the token's engine, while its key is in use
};

}  // namespace qrv::tools
