#include "platform/trust/TimestampVerifier.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "platform/trust/ChainVerifier.h"
#include "platform/trust/OpenSslErrorQueue.h"
#include "platform/trust/OpenSslHandles.h"

namespace qrv::platform {
namespace {

constexpr const char* kRfc3161TokenOid = "1.3.6.1.4.1.311.3.3.1";

bool TimeOf(const ASN1_TIME* t, int64_t& out) {
  struct tm tm {};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return false;
  out = static_cast<int64_t>(timegm(&tm));
  return true;
}

// Only the SHA family counts: an MD5 imprint proves nothing.
const EVP_MD* StrongDigest(const ASN1_OBJECT* algorithm) {
  switch (OBJ_obj2nid(algorithm)) {
    case NID_sha1: return EVP_sha1();
    case NID_sha256: return EVP_sha256();
    case NID_sha384: return EVP_sha384();
    case NID_sha512: return EVP_sha512();
    default: return nullptr;
  }
}

std::string Dotted(const ASN1_OBJECT* object) {
  char text[128] = "?";
  OBJ_obj2txt(text, sizeof text, object, 1);
  return text;
}

bool CheckStamper(X509* stamper, STACK_OF(X509) * untrusted, int64_t when, const ChainVerifier& chain,
                  std::string& why) {
  if (!ChainVerifier::HasUsage(stamper, ChainVerifier::Usage::kTimeStamping, why)) return false;
  if (chain.Verify(stamper, untrusted, when, why) != ChainVerifier::Status::kAccepted) {
    why = "time stamper " + why;
    return false;
  }
  return true;
}

bool VerifyLegacy(PKCS7* p7, PKCS7_SIGNER_INFO* signer, const unsigned char* der, long size,
                  const ChainVerifier& chain, int64_t& when, std::string& why) {
  SignerInfoHandle counter(d2i_PKCS7_SIGNER_INFO(nullptr, &der, size));
  if (!counter) {
    why = "countersignature does not decode: " + OpenSslErrorQueue::Take();
    return false;
  }
  STACK_OF(X509)* certs = p7->d.sign->cert;
  X509* stamper = nullptr;
  if (counter->issuer_and_serial != nullptr) {
    stamper = X509_find_by_issuer_and_serial(certs, counter->issuer_and_serial->issuer,
                                             counter->issuer_and_serial->serial);
  }
  if (stamper == nullptr) {
    why = "the countersigner's certificate is not among the signature's certificates";
    return false;
  }
  const EVP_MD* md = counter->digest_alg != nullptr ? StrongDigest(counter->digest_alg->algorithm) : nullptr;
  if (md == nullptr) {
    why = "countersignature uses a digest that is not accepted";
    return false;
  }
  const ASN1_TYPE* signingTime = PKCS7_get_signed_attribute(counter.get(), NID_pkcs9_signingTime);
  int64_t stamped = 0;
  if (signingTime == nullptr ||
      (signingTime->type != V_ASN1_UTCTIME && signingTime->type != V_ASN1_GENERALIZEDTIME) ||
      !TimeOf(signingTime->value.utctime, stamped)) {
    why = "countersignature carries no signing time";
    return false;
  }
  /* the countersignature signs a digest of the signer's encrypted digest */
  BioHandle chainBio(BIO_new(BIO_f_md()));
  BIO* data = BIO_new_mem_buf(signer->enc_digest->data, signer->enc_digest->length);
  if (!chainBio || data == nullptr || BIO_set_md(chainBio.get(), md) != 1) {
    BIO_free(data);
    why = "cannot hash the encrypted digest: " + OpenSslErrorQueue::Take();
    return false;
  }
  BIO_push(chainBio.get(), data);
  unsigned char sink[256];
  while (BIO_read(chainBio.get(), sink, sizeof sink) > 0) {
  }
  if (PKCS7_signatureVerify(chainBio.get(), p7, counter.get(), stamper) != 1) {
    why = "countersignature does not verify: " + OpenSslErrorQueue::Take();
    return false;
  }
  if (!CheckStamper(stamper, certs, stamped, chain, why)) return false;
  when = stamped;
  return true;
}

bool VerifyToken(PKCS7* p7, PKCS7_SIGNER_INFO* signer, const unsigned char* der, long size,
                 const ChainVerifier& chain, int64_t& when, std::string& why) {
  CmsHandle token(d2i_CMS_ContentInfo(nullptr, &der, size));
  if (!token || OBJ_obj2nid(CMS_get0_type(token.get())) != NID_pkcs7_signed ||
      OBJ_obj2nid(CMS_get0_eContentType(token.get())) != NID_id_smime_ct_TSTInfo) {
    why = "timestamp token is not a signed TSTInfo";
    OpenSslErrorQueue::Take();
    return false;
  }
  if (sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(token.get())) != 1) {
    why = "timestamp token does not have exactly one signer";
    return false;
  }
  BioHandle content(BIO_new(BIO_s_mem()));
  if (!content || CMS_verify(token.get(), p7->d.sign->cert, nullptr, nullptr, content.get(),
                             CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) != 1) {
    why = "timestamp token does not verify: " + OpenSslErrorQueue::Take();
    return false;
  }
  X509StackRef signers(CMS_get0_signers(token.get()));
  X509* stamper = signers && sk_X509_num(signers.get()) == 1 ? sk_X509_value(signers.get(), 0) : nullptr;
  if (stamper == nullptr) {
    why = "timestamp token names no stamping certificate";
    return false;
  }
  /* the TSTInfo: its imprint must be the hash of the signer's encrypted digest */
  char* bytes = nullptr;
  const long length = BIO_get_mem_data(content.get(), &bytes);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
  TstInfoHandle info(length > 0 ? d2i_TS_TST_INFO(nullptr, &p, length) : nullptr);
  if (!info) {
    why = "timestamp token's TSTInfo does not decode: " + OpenSslErrorQueue::Take();
    return false;
  }
  TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
  const ASN1_OBJECT* algorithm = nullptr;
  X509_ALGOR_get0(&algorithm, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(imprint));
  const EVP_MD* md = StrongDigest(algorithm);
  if (md == nullptr) {
    why = "timestamp imprint uses digest " + Dotted(algorithm) + ", which is not accepted";
    return false;
  }
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int hashSize = 0;
  const ASN1_OCTET_STRING* hashed = TS_MSG_IMPRINT_get_msg(imprint);
  if (EVP_Digest(signer->enc_digest->data, static_cast<size_t>(signer->enc_digest->length), hash, &hashSize, md,
                 nullptr) != 1 ||
      hashed == nullptr || static_cast<unsigned int>(hashed->length) != hashSize ||
      std::memcmp(hashed->data, hash, hashSize) != 0) {
    why = "timestamp imprint does not match the signature it claims to stamp";
    return false;
  }
  int64_t stamped = 0;
  if (!TimeOf(TS_TST_INFO_get_time(info.get()), stamped)) {
    why = "timestamp token's time does not decode";
    return false;
  }
  /* the token's own certificates and the outer ones may both hold the chain */
  X509StackRef untrusted(sk_X509_new_null());
  STACK_OF(X509)* own = CMS_get1_certs(token.get());
  for (int i = 0; untrusted && own != nullptr && i < sk_X509_num(own); ++i) sk_X509_push(untrusted.get(), sk_X509_value(own, i));
  for (int i = 0; untrusted && i < sk_X509_num(p7->d.sign->cert); ++i) {
    sk_X509_push(untrusted.get(), sk_X509_value(p7->d.sign->cert, i));
  }
  const bool ok = CheckStamper(stamper, untrusted.get(), stamped, chain, why);
  untrusted.reset();
  sk_X509_pop_free(own, X509_free);
  if (ok) when = stamped;
  return ok;
}

}  // namespace

bool TimestampVerifier::Find(PKCS7* signedData, PKCS7_SIGNER_INFO* signer, const ChainVerifier& chain,
                             int64_t& when, std::string& why) {
  why.clear();
  STACK_OF(X509_ATTRIBUTE)* attributes = signer != nullptr ? signer->unauth_attr : nullptr;
  if (signer == nullptr || signer->enc_digest == nullptr) return false;
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); ++i) {
    X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(attributes, i);
    const ASN1_OBJECT* type = X509_ATTRIBUTE_get0_object(attribute);
    const bool legacy = OBJ_obj2nid(type) == NID_pkcs9_countersignature;
    if (!legacy && Dotted(type) != kRfc3161TokenOid) continue;
    for (int v = 0; v < X509_ATTRIBUTE_count(attribute); ++v) {
      const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, v);
      if (value == nullptr || value->type != V_ASN1_SEQUENCE) {
        why = "timestamp attribute holds no SEQUENCE";
        continue;
      }
      const unsigned char* der = value->value.sequence->data;
      const long size = value->value.sequence->length;
      if (legacy ? VerifyLegacy(signedData, signer, der, size, chain, when, why)
                 : VerifyToken(signedData, signer, der, size, chain, when, why)) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace qrv::platform
