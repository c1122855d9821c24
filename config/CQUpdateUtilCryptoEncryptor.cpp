#include "config/CQUpdateUtilCryptoEncryptor.h"

namespace qrv {

CQUpdateUtilCryptoEncryptor::CQUpdateUtilCryptoEncryptor(std::string_view passPhrase,
                                                         CryptoAlgorithm algorithm)
    : CQUpdateUtilCrypto(algorithm) {
  SetUpKey(platform::Rc2Cipher::Direction::kEncrypt, passPhrase, CryptoKeyStrength::kStrong128);
}

bool CQUpdateUtilCryptoEncryptor::Process(const uint8_t* data, size_t length) {
  return ProcessChunks(data, length, "encrypting");
}

}  // namespace qrv
