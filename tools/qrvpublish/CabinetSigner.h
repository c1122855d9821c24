#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qrv::tools {

// Signs cabinets with Authenticode (SHA-256, the signature in the cabinet's
// reserved area, the certificate chain included, an RFC 3161 time stamp when
// a time-stamp URL is set) by running osslsigncode. The key stays where the
// publisher keeps it (a PEM or PKCS#12 file, or a PKCS#11 token); the pass
// phrase travels to osslsigncode through a pipe on its standard input, never
// on a command line and never in a file.
//
// Thread: Sign may run on several threads at once; the signer is not changed
// after Check.
class CabinetSigner {
 public:
  struct Key {
    std::string certificates;   // PEM chain: signer first (not needed with pkcs12)
    std::string key;            // PEM key file, or a pkcs11: URI with pkcs11Module
    std::string pkcs12;         // PKCS#12 file holding key and chain
    std::string pkcs11Module;   // the token's PKCS#11 module (.so)
    std::string passphrase;     // empty: none
    std::string timestampUrl;   // RFC 3161 time-stamp authority; empty: none
  };

  explicit CabinetSigner(Key key) : m_key(std::move(key)) {}

  // Whether the key options make sense together and name readable files;
  // `why` says what is wrong.
  bool Check(std::string& why) const;

  // Writes `in` signed as `out`; false with osslsigncode's words in `why`.
  bool Sign(const std::filesystem::path& in, const std::filesystem::path& out, std::string& why) const;

 private:
  Key m_key;
};

}  // namespace qrv::tools
