#include "tools/qrvpublish/InfoVerifier.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "platform/trust/ChainVerifier.h"
#include "platform/trust/OpenSslErrorQueue.h"
#include "platform/trust/OpenSslHandles.h"
#include "platform/trust/X500NameFormatter.h"

namespace qrv::tools {

namespace {

using platform::BioHandle;
using platform::CmsHandle;

void FreeCertificates(STACK_OF(X509) * s) { sk_X509_pop_free(s, X509_free); }
using Certificates = platform::OpenSslHandle<STACK_OF(X509), FreeCertificates>;

BioHandle Memory(const std::string& bytes) {
  return BioHandle(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

}  // namespace

bool InfoVerifier::Verify(const std::string& content, const std::string& signature,
                          const std::vector<std::string>& anchorFiles, Result& result) {
  result = Result{};
  ERR_clear_error();
  const BioHandle der = Memory(signature);
  const CmsHandle cms(der ? d2i_CMS_bio(der.get(), nullptr) : nullptr);
  if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
    result.reason = "not a DER CMS SignedData (" + platform::OpenSslErrorQueue::Take() + ")";
    return false;
  }
  ASN1_OCTET_STRING** inner = CMS_get0_content(cms.get());
  if (inner != nullptr && *inner != nullptr) {
    result.reason = "the signature carries its content; the updater wants a detached one";
    return false;
  }
  if (OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data) {
    result.reason = "the signed content type is not id-data";
    return false;
  }
  STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
  if (sk_CMS_SignerInfo_num(signers) != 1) {
    result.reason = std::to_string(sk_CMS_SignerInfo_num(signers)) + " signers; the updater wants exactly one";
    return false;
  }
  X509_ALGOR* digest = nullptr;
  CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(signers, 0), nullptr, nullptr, &digest, nullptr);
  const int digestNid = digest != nullptr ? OBJ_obj2nid(digest->algorithm) : NID_undef;
  if (digestNid != NID_sha256) {
    result.reason = std::string("the digest is ") + (digestNid != NID_undef ? OBJ_nid2sn(digestNid) : "unknown") +
                    ", not SHA-256";
    return false;
  }
  // The signature over the bytes first; the chain is judged below by the
  // updater's rule, not by OpenSSL's S/MIME purpose.
  const BioHandle data = Memory(content);
  if (!data || CMS_verify(cms.get(), nullptr, nullptr, data.get(), nullptr,
                          CMS_DETACHED | CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
    result.reason = "does not verify over the file as it is now: the file changed after it was signed, or the "
                    "signature is damaged (" + platform::OpenSslErrorQueue::Take() + ")";
    return false;
  }
  STACK_OF(X509)* signerStack = CMS_get0_signers(cms.get());
  X509* signer = signerStack != nullptr && sk_X509_num(signerStack) == 1 ? sk_X509_value(signerStack, 0) : nullptr;
  sk_X509_free(signerStack);
  if (signer == nullptr) {
    result.reason = "the signer's certificate is not in the signature";
    return false;
  }
  result.subject = platform::X500NameFormatter::FormatSubject(signer);
  unsigned char* bytes = nullptr;
  const int length = i2d_X509(signer, &bytes);
  if (length > 0) result.signerCertificate.assign(bytes, bytes + length);
  OPENSSL_free(bytes);

  platform::ChainVerifier chain;
  const Certificates untrusted(CMS_get1_certs(cms.get()));
  if (chain.Load(anchorFiles, result.reason) != platform::ChainVerifier::Status::kAccepted ||
      chain.Verify(signer, untrusted.get(), 0, result.reason) != platform::ChainVerifier::Status::kAccepted ||
      !platform::ChainVerifier::HasUsage(signer, platform::ChainVerifier::Usage::kCodeSigning, result.reason)) {
    return false;
  }
  return true;
}

}  // namespace qrv::tools
