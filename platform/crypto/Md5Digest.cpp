#include "platform/crypto/Md5Digest.h"

#include <openssl/evp.h>

#include <string>

#include "platform/core/LastError.h"
#include "platform/crypto/OpenSslLegacyContext.h"

namespace qrv::platform {

bool Md5Digest::Compute(const void* data, size_t length, Value& out) {
  out.fill(0);
  if (data == nullptr && length != 0) {
    LastError::Set("MD5 of " + std::to_string(length) + " bytes asked for without data");
    return false;
  }
  // MD5 lives in the default provider, so the program's default library
  // context serves; it keeps hashing working even where the legacy provider
  // that RC2 needs is missing.
  EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
  if (md == nullptr) {
    LastError::Set("MD5 is not available from OpenSSL: " + OpenSslLegacyContext::TakeErrors());
    return false;
  }
  unsigned int written = 0;
  static const unsigned char kNothing = 0;
  const int ok = EVP_Digest(data != nullptr ? data : &kNothing, length, out.data(), &written, md,
                            nullptr);
  EVP_MD_free(md);
  if (ok != 1 || written != out.size()) {
    out.fill(0);
    LastError::Set("MD5 of " + std::to_string(length) +
                   " bytes failed: " + OpenSslLegacyContext::TakeErrors());
    return false;
  }
  return true;
}

}  // namespace qrv::platform
