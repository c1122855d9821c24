#pragma once

#include <openssl/types.h>

#include <string>

namespace qrv::platform {

// Internal to platform/crypto: the private OpenSSL library context in which
// RC2 is available.
//
// OpenSSL 3 keeps RC2 in its "legacy" provider. Loading a provider into a
// context switches off that context's implicit default provider, so doing it
// in the program's default context would change what every other OpenSSL
// user in the process (TLS in the transfers, signature checks) can fetch.
// Instead a context of our own gets "default" and "legacy" loaded once and
// RC2-CBC is fetched from it once.
//
// Thread: any; the first call sets up under std::call_once. The objects live
// until the process ends and are never freed, so no thread can see them go
// away while it uses them.
class OpenSslLegacyContext {
 public:
  // The RC2-CBC implementation; nullptr when the providers or the cipher
  // could not be had, with the reason in `why` (the same text on every call).
  static const EVP_CIPHER* Rc2Cbc(std::string& why);

  // Empties this thread's OpenSSL error queue into one line; says so when the
  // queue held nothing. Called after every failed OpenSSL call so that stale
  // entries never end up in a later, unrelated message.
  static std::string TakeErrors();
};

}  // namespace qrv::platform
