#pragma once

#include <string_view>

#include "config/CQUpdateUtilCrypto.h"

namespace qrv {

// Decrypts whole messages. The constructor derives the 128-bit key of the
// pass phrase; DeriveKey replaces it, e.g. with the 40-bit key of old
// installations. Check IsReady() (and Error()) before use.
class CQUpdateUtilCryptoDecryptor : public CQUpdateUtilCrypto {
 public:
  CQUpdateUtilCryptoDecryptor(std::string_view passPhrase, CryptoAlgorithm algorithm);

  // Fails (output empty, key released) when the data is empty, is not whole
  // cipher blocks, or its padding does not check out under the key.
  bool Process(const uint8_t* data, size_t length) override;

  bool DeriveKey(std::string_view passPhrase,
                 CryptoKeyStrength strength = CryptoKeyStrength::kStrong128);
};

}  // namespace qrv
