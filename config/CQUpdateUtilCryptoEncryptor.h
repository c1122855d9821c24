#pragma once

#include <string_view>

#include "config/CQUpdateUtilCrypto.h"

namespace qrv {

// Encrypts whole messages with the 128-bit key of a pass phrase. The key is
// derived in the constructor; check IsReady() (and Error()) before use.
class CQUpdateUtilCryptoEncryptor : public CQUpdateUtilCrypto {
 public:
  CQUpdateUtilCryptoEncryptor(std::string_view passPhrase, CryptoAlgorithm algorithm);

  // The output is padded to whole cipher blocks: an empty message gives one.
  bool Process(const uint8_t* data, size_t length) override;
};

}  // namespace qrv
