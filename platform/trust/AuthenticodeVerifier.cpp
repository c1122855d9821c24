#include "platform/trust/AuthenticodeVerifier.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <cstring>
#include <ctime>

#include "platform/core/LastError.h"
#include "platform/trust/ChainVerifier.h"
#include "platform/trust/DerReader.h"
#include "platform/trust/OpenSslErrorQueue.h"
#include "platform/trust/OpenSslHandles.h"
#include "platform/trust/Sha256Digest.h"
#include "platform/trust/SignedCabinetFile.h"
#include "platform/trust/TimestampVerifier.h"
#include "platform/trust/X500NameFormatter.h"

namespace qrv::platform {
namespace {

using Status = AuthenticodeResult::Status;

constexpr const char* kIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";
// SPC_CAB_DATA_OBJID 1.3.6.1.4.1.311.2.1.25, as DER content bytes: the
// indirect data must say it describes a cabinet, not some other file type.
constexpr uint8_t kCabDataOid[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x19};

std::string Hex(const uint8_t* data, size_t size) { return Sha256Digest::Hex(data, size); }

std::string Dotted(const ASN1_OBJECT* object) {
  char text[128] = "?";
  OBJ_obj2txt(text, sizeof text, object, 1);
  return text;
}

// The digests accepted for the content and the signer: the SHA family. MD5
// is broken for this use; anything else is unknown here.
const EVP_MD* StrongDigest(int nid) {
  switch (nid) {
    case NID_sha1: return EVP_sha1();
    case NID_sha256: return EVP_sha256();
    case NID_sha384: return EVP_sha384();
    case NID_sha512: return EVP_sha512();
    default: return nullptr;
  }
}
const EVP_MD* StrongDigest(const ASN1_OBJECT* algorithm) {
  return algorithm != nullptr ? StrongDigest(OBJ_obj2nid(algorithm)) : nullptr;
}

// The parts of SpcIndirectDataContent the check needs, pointing into the
// signed bytes themselves.
struct IndirectData {
  const uint8_t* signedBytes = nullptr;  // the SEQUENCE's content, without its tag and length
  size_t signedSize = 0;
  DerReader::Element dataType;   // OBJECT IDENTIFIER of SpcAttributeTypeAndOptionalValue
  DerReader::Element algorithm;  // OBJECT IDENTIFIER of the DigestInfo's algorithm
  DerReader::Element digest;     // OCTET STRING
};

bool ParseIndirectData(const ASN1_STRING* sequence, IndirectData& out) {
  DerReader whole(sequence->data, static_cast<size_t>(sequence->length));
  DerReader::Element outer, data, digestInfo, algorithm;
  if (!whole.Next(0x30, outer) || !whole.AtEnd()) return false;
  out.signedBytes = outer.content;
  out.signedSize = outer.length;
  DerReader body(outer.content, outer.length);
  if (!body.Next(0x30, data) || !body.Next(0x30, digestInfo) || !body.AtEnd()) return false;
  DerReader dataReader(data.content, data.length);
  if (!dataReader.Next(0x06, out.dataType)) return false;
  DerReader infoReader(digestInfo.content, digestInfo.length);
  if (!infoReader.Next(0x30, algorithm) || !infoReader.Next(0x04, out.digest) || !infoReader.AtEnd()) return false;
  DerReader algorithmReader(algorithm.content, algorithm.length);
  return algorithmReader.Next(0x06, out.algorithm);
}

class Check {
 public:
  // fd < 0: open path; else check the open file fd, naming it path.
  Check(const std::string& path, int fd, AuthenticodeResult& result) : m_path(path), m_fd(fd), m_result(result) {}

  bool Refuse(Status status, const std::string& reason) {
    m_result.status = status;
    m_result.reason = reason;
    LastError::Set(reason);
    ERR_clear_error();
    return false;
  }
  bool RefuseHere(Status status, const std::string& what) { return Refuse(status, m_path + ": " + what); }

  bool Run(const std::vector<std::string>& anchorFiles);

 private:
  bool ParseSignature(const std::vector<uint8_t>& area, Pkcs7Handle& p7);

  const std::string& m_path;
  const int m_fd;
  AuthenticodeResult& m_result;
};

bool Check::ParseSignature(const std::vector<uint8_t>& area, Pkcs7Handle& p7) {
  /* the DER PKCS#7, then at most 7 zero bytes that pad it to a multiple of 8 */
  DerReader reader(area.data(), area.size());
  DerReader::Element outer;
  if (!reader.Next(0x30, outer)) {
    return RefuseHere(Status::kMalformed, "the " + std::to_string(area.size()) +
                                              " signature bytes do not start with a DER SEQUENCE");
  }
  const size_t padding = area.size() - outer.Total();
  if (padding >= 8) {
    return RefuseHere(Status::kMalformed, std::to_string(padding) + " bytes follow the " +
                                              std::to_string(outer.Total()) + "-byte signature");
  }
  for (size_t i = outer.Total(); i < area.size(); ++i) {
    if (area[i] != 0) {
      return RefuseHere(Status::kMalformed, "padding byte " + std::to_string(i - outer.Total()) +
                                                " after the signature is not zero");
    }
  }
  const unsigned char* p = area.data();
  p7.reset(d2i_PKCS7(nullptr, &p, static_cast<long>(outer.Total())));
  if (!p7 || p != area.data() + outer.Total()) {
    return RefuseHere(Status::kMalformed, "the signature is not a PKCS#7 structure: " + OpenSslErrorQueue::Take());
  }
  if (!PKCS7_type_is_signed(p7.get()) || p7->d.sign == nullptr || p7->d.sign->contents == nullptr) {
    return RefuseHere(Status::kMalformed, "the signature is a PKCS#7 " + Dotted(p7->type) + ", not SignedData");
  }
  return true;
}

bool Check::Run(const std::vector<std::string>& anchorFiles) {
  std::string why;
  SignedCabinetFile file;
  const Status layout = m_fd >= 0 ? file.OpenDescriptor(m_fd, m_path, why) : file.Open(m_path, why);
  if (layout != Status::kAccepted) return Refuse(layout, why);
  m_result.cabinetLength = file.SignatureOffset();

  /* the PKCS#7 and its content */
  std::vector<uint8_t> area;
  if (!file.ReadSignature(area, why)) return Refuse(Status::kUnreadable, why);
  Pkcs7Handle p7;
  if (!ParseSignature(area, p7)) return false;
  PKCS7* contents = p7->d.sign->contents;
  if (Dotted(contents->type) != kIndirectDataOid) {
    return RefuseHere(Status::kMalformed, "signed content type is " + Dotted(contents->type) +
                                              ", not Authenticode's " + kIndirectDataOid);
  }
  const ASN1_TYPE* other = contents->d.other;
  IndirectData indirect;
  if (other == nullptr || other->type != V_ASN1_SEQUENCE || !ParseIndirectData(other->value.sequence, indirect)) {
    return RefuseHere(Status::kMalformed, "the signed SpcIndirectDataContent does not decode");
  }
  if (indirect.dataType.length != sizeof kCabDataOid ||
      std::memcmp(indirect.dataType.content, kCabDataOid, sizeof kCabDataOid) != 0) {
    return RefuseHere(Status::kMalformed, "the signature is not made for a cabinet file");
  }
  const unsigned char* oidBytes = indirect.algorithm.begin;
  ASN1_OBJECT* algorithm = d2i_ASN1_OBJECT(nullptr, &oidBytes, static_cast<long>(indirect.algorithm.Total()));
  const int algorithmNid = OBJ_obj2nid(algorithm);
  const std::string algorithmText = algorithm != nullptr ? Dotted(algorithm) : "?";
  ASN1_OBJECT_free(algorithm);
  const EVP_MD* md = StrongDigest(algorithmNid);
  if (algorithmNid == NID_md5) return RefuseHere(Status::kBadDigest, "the signature uses MD5, which is not accepted");
  if (md == nullptr) {
    return RefuseHere(Status::kBadDigest, "the signature uses digest algorithm " + algorithmText +
                                              ", which is not accepted");
  }
  if (indirect.digest.length != static_cast<size_t>(EVP_MD_get_size(md))) {
    return RefuseHere(Status::kMalformed, "the signed " + std::string(EVP_MD_get0_name(md)) + " digest has " +
                                              std::to_string(indirect.digest.length) + " bytes");
  }

  /* the signer hashes with the same family; OpenSSL 3.0's PKCS7_verify
     also leaks its content buffer when it meets a digest it cannot set up */
  for (int i = 0; i < sk_X509_ALGOR_num(p7->d.sign->md_algs); ++i) {
    const X509_ALGOR* listed = sk_X509_ALGOR_value(p7->d.sign->md_algs, i);
    if (StrongDigest(listed->algorithm) == nullptr) {
      return RefuseHere(Status::kBadSignature,
                        "the signature uses digest algorithm " + Dotted(listed->algorithm) + ", which is not accepted");
    }
  }

  /* exactly one signer, with authenticated attributes naming the content */
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7.get());
  if (sk_PKCS7_SIGNER_INFO_num(signers) != 1) {
    return RefuseHere(Status::kBadSignature, "the signature has " + std::to_string(sk_PKCS7_SIGNER_INFO_num(signers)) +
                                                 " signers; exactly one is accepted");
  }
  PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(signers, 0);
  if (signer->digest_alg == nullptr || StrongDigest(signer->digest_alg->algorithm) == nullptr) {
    return RefuseHere(Status::kBadSignature, "the signer's digest algorithm is not accepted");
  }
  const ASN1_TYPE* contentType = PKCS7_get_signed_attribute(signer, NID_pkcs9_contentType);
  if (contentType == nullptr || contentType->type != V_ASN1_OBJECT ||
      OBJ_cmp(contentType->value.object, contents->type) != 0) {
    return RefuseHere(Status::kBadSignature, "the signer's authenticated attributes do not name the signed content");
  }

  /* the signer's signature over the content bytes (Authenticode hashes the
     SpcIndirectDataContent without its outer tag and length) */
  BioHandle content(BIO_new_mem_buf(indirect.signedBytes, static_cast<int>(indirect.signedSize)));
  if (!content || PKCS7_verify(p7.get(), nullptr, nullptr, content.get(), nullptr,
                               PKCS7_NOVERIFY | PKCS7_BINARY) != 1) {
    return RefuseHere(Status::kBadSignature, "the signer's signature does not verify: " + OpenSslErrorQueue::Take());
  }
  X509StackRef signerCerts(PKCS7_get0_signers(p7.get(), nullptr, 0));
  X509* certificate = signerCerts && sk_X509_num(signerCerts.get()) == 1 ? sk_X509_value(signerCerts.get(), 0)
                                                                          : nullptr;
  if (certificate == nullptr) return RefuseHere(Status::kBadSignature, "the signer's certificate is missing");
  unsigned char* der = nullptr;
  const int derSize = i2d_X509(certificate, &der);
  if (derSize > 0) m_result.signerCertificate.assign(der, der + derSize);
  OPENSSL_free(der);
  m_result.subject = X500NameFormatter::FormatSubject(certificate);

  /* the file's digest against the signed one */
  std::vector<uint8_t> digest;
  if (!file.Digest(md, digest, why)) return Refuse(Status::kUnreadable, why);
  if (digest.size() != indirect.digest.length ||
      CRYPTO_memcmp(digest.data(), indirect.digest.content, digest.size()) != 0) {
    return RefuseHere(Status::kBadDigest, "content does not match its signature: signed " +
                                              std::string(EVP_MD_get0_name(md)) + " " +
                                              Hex(indirect.digest.content, indirect.digest.length) + ", file has " +
                                              Hex(digest.data(), digest.size()));
  }

  /* the signer's certificate: its usage, then its chain at the right time */
  if (!ChainVerifier::HasUsage(certificate, ChainVerifier::Usage::kCodeSigning, why)) {
    return RefuseHere(Status::kWrongUsage, "signing " + why);
  }
  ChainVerifier chain;
  if (Status s = chain.Load(anchorFiles, why); s != Status::kAccepted) return RefuseHere(s, why);
  int64_t when = 0;
  std::string timestampProblem;
  m_result.timestamped = TimestampVerifier::Find(p7.get(), signer, chain, when, timestampProblem);
  m_result.verificationTime = m_result.timestamped ? when : static_cast<int64_t>(std::time(nullptr));
  if (Status s = chain.Verify(certificate, p7->d.sign->cert, when, why); s != Status::kAccepted) {
    if (!timestampProblem.empty()) why += "; its timestamp was not used: " + timestampProblem;
    return RefuseHere(s, "signing " + why);
  }
  m_result.status = Status::kAccepted;
  m_result.reason.clear();
  ERR_clear_error();
  return true;
}

}  // namespace

bool AuthenticodeVerifier::Verify(const std::string& path, const std::vector<std::string>& anchorFiles,
                                  AuthenticodeResult& result) {
  result = AuthenticodeResult{};
  ERR_clear_error();
  return Check(path, -1, result).Run(anchorFiles);
}

bool AuthenticodeVerifier::VerifyDescriptor(int fd, const std::string& shownPath,
                                            const std::vector<std::string>& anchorFiles, AuthenticodeResult& result) {
  result = AuthenticodeResult{};
  ERR_clear_error();
  if (fd < 0) {
    result.status = AuthenticodeResult::Status::kUnreadable;
    result.reason = shownPath + ": no open file to check (descriptor " + std::to_string(fd) + ")";
    LastError::Set(result.reason);
    return false;
  }
  return Check(shownPath, fd, result).Run(anchorFiles);
}

}  // namespace qrv::platform
