#pragma once

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <filesystem>
#include <string>

namespace qrv::test {

// Signs bytes at test time as the publisher signs update information: a DER
// CMS SignedData by the certificate pki/NAME.pem and key pki/NAME.key of
// the signed-cabinet fixtures (tests/support/make_signed_cabinets.sh), with
// the rest of pki/NAME.chain.pem as further certificates. By default
// detached and SHA-256; `digest` and `detached` make the variants a client
// must refuse. Returns the DER bytes, or "" with `error` set.
//
// Header only, so that every suite can use it without another library.
// Thread: any.
inline std::string SignDetached(const std::filesystem::path& pki, const std::string& signer, const std::string& bytes,
                                std::string& error, const EVP_MD* digest = EVP_sha256(), bool detached = true) {
  std::string der;
  BIO* certBio = BIO_new_file((pki / (signer + ".pem")).c_str(), "r");
  BIO* keyBio = BIO_new_file((pki / (signer + ".key")).c_str(), "r");
  BIO* chainBio = BIO_new_file((pki / (signer + ".chain.pem")).c_str(), "r");
  X509* cert = certBio != nullptr ? PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr) : nullptr;
  EVP_PKEY* key = keyBio != nullptr ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
  STACK_OF(X509)* chain = sk_X509_new_null();
  while (chainBio != nullptr && cert != nullptr) {
    X509* c = PEM_read_bio_X509(chainBio, nullptr, nullptr, nullptr);
    if (c == nullptr) break;
    if (X509_cmp(c, cert) == 0) {
      X509_free(c);  // the signer itself goes in once, as the signer
    } else {
      sk_X509_push(chain, c);
    }
  }
  ERR_clear_error();  // the end of the chain file
  BIO* content = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
  const unsigned int flags = CMS_BINARY | CMS_PARTIAL | (detached ? CMS_DETACHED : 0u);
  CMS_ContentInfo* cms = cert != nullptr && key != nullptr ? CMS_sign(nullptr, nullptr, chain, nullptr, flags) : nullptr;
  if (cms != nullptr && CMS_add1_signer(cms, cert, key, digest, flags) != nullptr && CMS_final(cms, content, nullptr, flags) == 1) {
    unsigned char* out = nullptr;
    const int size = i2d_CMS_ContentInfo(cms, &out);
    if (size > 0) der.assign(reinterpret_cast<const char*>(out), static_cast<size_t>(size));
    OPENSSL_free(out);
  }
  if (der.empty()) error = signer + ": cannot sign: " + ERR_error_string(ERR_get_error(), nullptr);
  CMS_ContentInfo_free(cms);
  BIO_free(content);
  sk_X509_pop_free(chain, X509_free);
  EVP_PKEY_free(key);
  X509_free(cert);
  BIO_free(certBio);
  BIO_free(keyBio);
  BIO_free(chainBio);
  return der;
}

}  // namespace qrv::test
