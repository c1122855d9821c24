#include "platform/crypto/OpenSslLegacyContext.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <mutex>
#include <new>

namespace qrv::platform {
namespace {

struct Loaded {
  OSSL_LIB_CTX* context = nullptr;
  EVP_CIPHER* rc2 = nullptr;
  std::string failure;
};

std::once_flag g_once;
Loaded* g_loaded = nullptr;

void Load(Loaded& loaded) {
  ERR_clear_error();
  OSSL_LIB_CTX* context = OSSL_LIB_CTX_new();
  if (context == nullptr) {
    loaded.failure = "cannot create an OpenSSL library context for RC2: " +
                     OpenSslLegacyContext::TakeErrors();
    return;
  }
  // "default" as well as "legacy": once any provider is loaded by hand the
  // context no longer loads "default" by itself, and the legacy provider
  // holds only the old algorithms.
  OSSL_PROVIDER* defaults = OSSL_PROVIDER_load(context, "default");
  if (defaults == nullptr) {
    loaded.failure = "cannot load OpenSSL's default provider into the RC2 context: " +
                     OpenSslLegacyContext::TakeErrors();
    OSSL_LIB_CTX_free(context);
    return;
  }
  // A loaded provider holds a reference that freeing the context does not
  // drop, so each failure unloads what was loaded before.
  OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(context, "legacy");
  if (legacy == nullptr) {
    loaded.failure =
        "cannot load OpenSSL's legacy provider, which RC2 (stored passwords) needs: " +
        OpenSslLegacyContext::TakeErrors();
    OSSL_PROVIDER_unload(defaults);
    OSSL_LIB_CTX_free(context);
    return;
  }
  EVP_CIPHER* rc2 = EVP_CIPHER_fetch(context, "RC2-CBC", nullptr);
  if (rc2 == nullptr) {
    loaded.failure = "OpenSSL's legacy provider offers no RC2-CBC: " +
                     OpenSslLegacyContext::TakeErrors();
    OSSL_PROVIDER_unload(legacy);
    OSSL_PROVIDER_unload(defaults);
    OSSL_LIB_CTX_free(context);
    return;
  }
  loaded.context = context;
  loaded.rc2 = rc2;
}

}  // namespace

const EVP_CIPHER* OpenSslLegacyContext::Rc2Cbc(std::string& why) {
  try {
    std::call_once(g_once, [] {
      static Loaded loaded;
      Load(loaded);
      g_loaded = &loaded;
    });
    if (g_loaded->rc2 == nullptr) {
      why = g_loaded->failure;
      return nullptr;
    }
    return g_loaded->rc2;
  } catch (const std::bad_alloc&) {
    // call_once leaves its flag unset when the set-up throws, so a later
    // call tries again once memory is back.
    try {
      why = "cannot set up OpenSSL for RC2: out of memory";
    } catch (const std::bad_alloc&) {
      why.clear();
    }
    return nullptr;
  }
}

std::string OpenSslLegacyContext::TakeErrors() {
  std::string text;
  try {
    std::string previous;
    unsigned long code = 0;
    const char* data = nullptr;
    int flags = 0;
    while ((code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) != 0) {
      char line[256];
      ERR_error_string_n(code, line, sizeof line);
      std::string entry = line;
      // The data part carries the useful values, e.g. the module file that
      // could not be loaded.
      if ((flags & ERR_TXT_STRING) != 0 && data != nullptr && *data != '\0') {
        entry += std::string(" (") + data + ")";
      }
      if (entry == previous) continue;
      if (!text.empty()) text += "; ";
      text += entry;
      previous = std::move(entry);
    }
    if (text.empty()) text = "OpenSSL reported no detail";
  } catch (const std::bad_alloc&) {
    ERR_clear_error();
    text.clear();
  }
  return text;
}

}  // namespace qrv::platform
