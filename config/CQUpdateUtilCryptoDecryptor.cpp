#include "config/CQUpdateUtilCryptoDecryptor.h"

namespace qrv {

CQUpdateUtilCryptoDecryptor::CQUpdateUtilCryptoDecryptor(std::string_view passPhrase,
                                                         CryptoAlgorithm algorithm)
    : CQUpdateUtilCrypto(algorithm) {
  DeriveKey(passPhrase);
}

bool CQUpdateUtilCryptoDecryptor::Process(const uint8_t* data, size_t length) {
  return ProcessChunks(data, length, "decrypting");
}

bool CQUpdateUtilCryptoDecryptor::DeriveKey(std::string_view passPhrase,
                                            CryptoKeyStrength strength) {
  return SetUpKey(platform::Rc2Cipher::Direction::kDecrypt, passPhrase, strength);
}

}  // namespace qrv
