#include "platform/trust/DetachedSignatureVerifier.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <climits>
#include <ctime>

#include "platform/core/LastError.h"
#include "platform/trust/ChainVerifier.h"
#include "platform/trust/OpenSslErrorQueue.h"
#include "platform/trust/OpenSslHandles.h"
#include "platform/trust/X500NameFormatter.h"

namespace qrv::platform {
namespace {

using Status = AuthenticodeResult::Status;

bool Refuse(AuthenticodeResult& result, Status status, const std::string& reason) {
  result.status = status;
  result.reason = reason;
  LastError::Set(reason);
  ERR_clear_error();
  return false;
}

// SHA-1 is no longer good enough for a new signature format; MD5 never was.
bool StrongDigest(const X509_ALGOR* algorithm) {
  if (algorithm == nullptr) return false;
  const int nid = OBJ_obj2nid(algorithm->algorithm);
  return nid == NID_sha256 || nid == NID_sha384 || nid == NID_sha512;
}

std::string AlgorithmName(const X509_ALGOR* algorithm) {
  char text[128] = "?";
  if (algorithm != nullptr) OBJ_obj2txt(text, sizeof text, algorithm->algorithm, 0);
  return text;
}

}  // namespace

bool DetachedSignatureVerifier::Verify(std::string_view content, std::string_view signature,
                                       const std::string& shownPath, const std::vector<std::string>& anchorFiles,
                                       AuthenticodeResult& result) {
  result = AuthenticodeResult{};
  ERR_clear_error();
  const std::string signatureName = shownPath + ".p7s";
  if (signature.empty() || signature.size() > kMaxSignatureBytes) {
    return Refuse(result, Status::kMalformed,
                  signatureName + ": " + std::to_string(signature.size()) + " bytes is no signature (at most " +
                      std::to_string(kMaxSignatureBytes) + ")");
  }
  if (content.size() > static_cast<size_t>(INT_MAX)) {
    return Refuse(result, Status::kUnreadable, shownPath + ": too large to check");
  }

  /* the SignedData, whole and alone */
  const auto* der = reinterpret_cast<const unsigned char*>(signature.data());
  const unsigned char* p = der;
  CmsHandle cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(signature.size())));
  if (!cms || p != der + signature.size()) {
    return Refuse(result, Status::kMalformed,
                  signatureName + ": not one DER CMS structure: " + OpenSslErrorQueue::Take());
  }
  if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
    return Refuse(result, Status::kMalformed, signatureName + ": the CMS structure is not SignedData");
  }
  if (CMS_is_detached(cms.get()) != 1) {
    return Refuse(result, Status::kMalformed,
                  signatureName + ": the signature carries its own content instead of signing the file");
  }
  if (OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data) {
    return Refuse(result, Status::kMalformed, signatureName + ": the signed content type is not id-data");
  }
  STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
  if (sk_CMS_SignerInfo_num(signers) != 1) {
    return Refuse(result, Status::kBadSignature,
                  signatureName + ": " + std::to_string(sk_CMS_SignerInfo_num(signers)) +
                      " signers; exactly one is accepted");
  }
  X509_ALGOR* digest = nullptr;
  CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(signers, 0), nullptr, nullptr, &digest, nullptr);
  if (!StrongDigest(digest)) {
    return Refuse(result, Status::kBadDigest,
                  signatureName + ": digest algorithm " + AlgorithmName(digest) + " is not accepted");
  }

  /* the signer's signature over exactly these bytes; the chain is checked
     below by the same rules as for cabinets, not by CMS's S/MIME purpose */
  BioHandle data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  if (!data || CMS_verify(cms.get(), nullptr, nullptr, data.get(), nullptr,
                          CMS_DETACHED | CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
    return Refuse(result, Status::kBadSignature,
                  shownPath + " does not match its signature " + signatureName + ": " + OpenSslErrorQueue::Take());
  }
  X509StackRef signerCerts(CMS_get0_signers(cms.get()));
  X509* certificate = signerCerts && sk_X509_num(signerCerts.get()) == 1 ? sk_X509_value(signerCerts.get(), 0)
                                                                          : nullptr;
  if (certificate == nullptr) return Refuse(result, Status::kBadSignature, signatureName + ": no signer certificate");
  unsigned char* certificateDer = nullptr;
  const int derSize = i2d_X509(certificate, &certificateDer);
  if (derSize > 0) result.signerCertificate.assign(certificateDer, certificateDer + derSize);
  OPENSSL_free(certificateDer);
  result.subject = X500NameFormatter::FormatSubject(certificate);

  std::string why;
  if (!ChainVerifier::HasUsage(certificate, ChainVerifier::Usage::kCodeSigning, why)) {
    return Refuse(result, Status::kWrongUsage, signatureName + ": signing " + why);
  }
  ChainVerifier chain;
  if (Status s = chain.Load(anchorFiles, why); s != Status::kAccepted) {
    return Refuse(result, s, signatureName + ": " + why);
  }
  STACK_OF(X509)* carried = CMS_get1_certs(cms.get());
  result.verificationTime = static_cast<int64_t>(std::time(nullptr));
  const Status chained = chain.Verify(certificate, carried, 0, why);
  sk_X509_pop_free(carried, X509_free);
  if (chained != Status::kAccepted) return Refuse(result, chained, signatureName + ": signing " + why);
  result.status = Status::kAccepted;
  result.reason.clear();
  ERR_clear_error();
  return true;
}

}  // namespace qrv::platform
