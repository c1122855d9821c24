// The pkcs11 engine is OpenSSL 3.0's only way to a token key here (no pkcs11
// provider is installed with it); its functions are marked deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "tools/qrvpublish/InfoSigner.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

#include "tools/qrvpublish/ReleasePath.h"
#include "tools/qrvpublish/TreeFile.h"

namespace qrv::tools {

namespace {

constexpr uint64_t kMaxInfoBytes = 16u << 20;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
void FreeBio(BIO* b) { BIO_free_all(b); }
using Bio = std::unique_ptr<BIO, Deleter<BIO, FreeBio>>;
using Cms = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using Pkcs12 = std::unique_ptr<PKCS12, Deleter<PKCS12, PKCS12_free>>;

// OpenSSL's reasons, oldest first, and the queue emptied.
std::string OpenSslReasons() {
  std::string text;
  for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
    const char* reason = ERR_reason_error_string(e);
    text += (text.empty() ? "" : "; ") + std::string(reason != nullptr ? reason : "unknown error");
  }
  return text.empty() ? "no details" : text;
}

int Passphrase(char* buffer, int size, int /*writing*/, void* data) {
  const std::string& phrase = *static_cast<const std::string*>(data);
  if (phrase.size() > static_cast<size_t>(size)) return -1;
  std::memcpy(buffer, phrase.data(), phrase.size());
  return static_cast<int>(phrase.size());
}

}  // namespace

InfoSigner::~InfoSigner() {
  EVP_PKEY_free(m_privateKey);
  X509_free(m_certificate);
  sk_X509_pop_free(m_chain, X509_free);
  if (m_engine != nullptr) {
    ENGINE_finish(m_engine);
    ENGINE_free(m_engine);
  }
}

bool InfoSigner::Load(std::string& why) {
  ERR_clear_error();
  const bool loaded = !m_key.pkcs12.empty() ? LoadPkcs12(why) : m_key.key.rfind("pkcs11:", 0) == 0 ? LoadToken(why)
                                                                                                    : LoadPem(why);
  ERR_clear_error();
  return loaded;
}

// With --cert PEM: the signer's certificate first, then the rest of the
// chain, as osslsigncode's -certs reads it.
bool InfoSigner::LoadPem(std::string& why) {
  Bio certificates(BIO_new_file(m_key.certificates.c_str(), "r"));
  if (!certificates || (m_certificate = PEM_read_bio_X509(certificates.get(), nullptr, nullptr, nullptr)) == nullptr) {
    why = "--cert \"" + m_key.certificates + "\" holds no PEM certificate: " + OpenSslReasons();
    return false;
  }
  m_chain = sk_X509_new_null();
  while (X509* next = PEM_read_bio_X509(certificates.get(), nullptr, nullptr, nullptr)) sk_X509_push(m_chain, next);
  ERR_clear_error();  // the end of the file reads as "no start line"
  if (m_key.key.rfind("pkcs11:", 0) == 0) return true;
  Bio key(BIO_new_file(m_key.key.c_str(), "r"));
  std::string phrase = m_key.passphrase;
  if (!key || (m_privateKey = PEM_read_bio_PrivateKey(key.get(), nullptr, Passphrase, &phrase)) == nullptr) {
    why = "cannot read the key \"" + m_key.key + "\" to sign the update information: " + OpenSslReasons();
    return false;
  }
  return true;
}

bool InfoSigner::LoadPkcs12(std::string& why) {
  Bio file(BIO_new_file(m_key.pkcs12.c_str(), "rb"));
  Pkcs12 p12(file ? d2i_PKCS12_bio(file.get(), nullptr) : nullptr);
  if (!p12 || PKCS12_parse(p12.get(), m_key.passphrase.c_str(), &m_privateKey, &m_certificate, &m_chain) != 1 ||
      m_privateKey == nullptr || m_certificate == nullptr) {
    why = "cannot read the key and certificate of \"" + m_key.pkcs12 + "\" to sign the update information: " +
          OpenSslReasons();
    return false;
  }
  return true;
}

// The token's module and PIN go to the engine as osslsigncode hands them to
// it for the cabinets.
bool InfoSigner::LoadToken(std::string& why) {
  if (!LoadPem(why)) return false;
  ENGINE_load_dynamic();
  m_engine = ENGINE_by_id("pkcs11");
  const bool ready = m_engine != nullptr &&
                     ENGINE_ctrl_cmd_string(m_engine, "MODULE_PATH", m_key.pkcs11Module.c_str(), 0) == 1 &&
                     ENGINE_init(m_engine) == 1;
  if (!ready) {
    if (m_engine != nullptr) ENGINE_free(m_engine);
    m_engine = nullptr;
    why = "cannot start OpenSSL's pkcs11 engine with the module \"" + m_key.pkcs11Module + "\": " + OpenSslReasons();
    return false;
  }
  if ((!m_key.passphrase.empty() && ENGINE_ctrl_cmd_string(m_engine, "PIN", m_key.passphrase.c_str(), 0) != 1) ||
      (m_privateKey = ENGINE_load_private_key(m_engine, m_key.key.c_str(), nullptr, nullptr)) == nullptr) {
    why = "cannot use the token key \"" + m_key.key + "\" to sign the update information: " + OpenSslReasons();
    return false;
  }
  return true;
}

bool InfoSigner::Sign(const std::filesystem::path& file, std::string& why) const {
  std::string bytes;
  if (!ReleasePath::ReadSmallFile(file, kMaxInfoBytes, bytes, why)) return false;
  ERR_clear_error();
  constexpr unsigned kFlags = CMS_DETACHED | CMS_BINARY | CMS_PARTIAL;
  Bio content(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  Cms cms(CMS_sign(nullptr, nullptr, m_chain, nullptr, kFlags));
  const bool made = content && cms &&
                    CMS_add1_signer(cms.get(), m_certificate, m_privateKey, EVP_sha256(), kFlags) != nullptr &&
                    CMS_final(cms.get(), content.get(), nullptr, kFlags) == 1;
  Bio der(BIO_new(BIO_s_mem()));
  char* data = nullptr;
  long size = 0;
  if (!made || !der || i2d_CMS_bio(der.get(), cms.get()) != 1 || (size = BIO_get_mem_data(der.get(), &data)) <= 0) {
    why = "cannot sign " + file.string() + ": " + OpenSslReasons();
    return false;
  }
  std::filesystem::path signature = file;
  signature += ".p7s";
  return TreeFile::Write(signature, std::string_view(data, static_cast<size_t>(size)), why);
}

}  // namespace qrv::tools
