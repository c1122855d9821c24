#include "config/StoredPassword.h"

#include <cstdint>
#include <new>
#include <vector>

#include "config/CQUpdateUtilCoderException.h"
#include "config/CQUpdateUtilCoderHexDe.h"
#include "config/CQUpdateUtilCoderHexEn.h"
#include "config/CQUpdateUtilCryptoDecryptor.h"
#include "config/CQUpdateUtilCryptoEncryptor.h"

namespace qrv {
namespace {

// Changing either of these makes every stored password unreadable, here and
// in other installations.
constexpr std::string_view kPassPhrase = "64075318";
constexpr CryptoAlgorithm kAlgorithm{kCalgRc2, 8};

bool Fail(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

// The stored text as it may appear in a message: it is cipher text, but
// there is no need to repeat all of a long one.
void FailQuietly(std::string* error, const char* prefix, const char* what) noexcept {
  if (error == nullptr) return;
  try {
    *error = std::string(prefix) + what;
  } catch (const std::bad_alloc&) {
    error->clear();
  }
}

std::string Quote(std::string_view text) {
  constexpr size_t kShown = 32;
  if (text.size() <= kShown) return "\"" + std::string(text) + "\"";
  return "\"" + std::string(text.substr(0, kShown)) + "...\" (" + std::to_string(text.size()) +
         " characters)";
}

std::string UpToNul(const std::vector<uint8_t>& bytes) {
  std::string text(bytes.begin(), bytes.end());
  const size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

// Whether decrypted bytes can be a password someone typed: UTF-8 without
// control characters. A wrong key gives valid padding by chance about once
// in 256 texts; such garbage almost never passes this test, which lets a
// value from an old installation be told from a lucky misreading.
bool LooksLikeTypedText(const std::vector<uint8_t>& bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    const uint8_t lead = bytes[i];
    if (lead < 0x20 || lead == 0x7F) return false;
    size_t extra = 0;
    if (lead < 0x80) {
      extra = 0;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
    } else {
      return false;
    }
    if (i + extra >= bytes.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

bool Encrypt(std::string_view plain, std::string& hexOut, std::string* error) {
  if (plain.find('\0') != std::string_view::npos) {
    return Fail(error, "cannot store a password of " + std::to_string(plain.size()) +
                           " bytes that holds a NUL byte at offset " +
                           std::to_string(plain.find('\0')) + ": it would read back cut short");
  }
  CQUpdateUtilCryptoEncryptor encryptor(kPassPhrase, kAlgorithm);
  if (!encryptor.IsReady() || !encryptor.ProcessText(plain)) {
    return Fail(error, "cannot encrypt a password of " + std::to_string(plain.size()) +
                           " bytes: " + encryptor.Error());
  }
  const std::vector<uint8_t> cipher = encryptor.Join();
  CQUpdateUtilCoderHexEn hex(true);
  hex.Put(cipher.data(), cipher.size());  // never empty: padding adds a block
  hex.End();
  hexOut = hex.GetText();
  return true;
}

bool Decrypt(std::string_view hexText, std::string& plainOut, std::string* error) {
  if (hexText.empty()) return Fail(error, "the stored password is empty");
  CQUpdateUtilCoderHexDe hex;
  hex.PutText(hexText);
  hex.End();
  const std::string cipherText = hex.GetText();
  const std::vector<uint8_t> cipher(cipherText.begin(), cipherText.end());
  if (cipher.empty()) {
    return Fail(error, "stored password " + Quote(hexText) + " holds no hexadecimal digits");
  }
  if (cipher.size() % platform::Rc2Cipher::kBlockSize != 0) {
    return Fail(error, "stored password " + Quote(hexText) + " does not decrypt: its " +
                           std::to_string(cipher.size()) +
                           " bytes are not a whole number of 8-byte blocks");
  }

  CQUpdateUtilCryptoDecryptor decryptor(kPassPhrase, kAlgorithm);
  if (!decryptor.IsReady()) {
    return Fail(error, "cannot decrypt stored password " + Quote(hexText) + ": " +
                           decryptor.Error());
  }
  const bool strongOk = decryptor.Process(cipher.data(), cipher.size());
  const std::vector<uint8_t> strong = strongOk ? decryptor.Join() : std::vector<uint8_t>{};
  if (strongOk && LooksLikeTypedText(strong)) {
    plainOut = UpToNul(strong);
    return true;
  }
  const std::string strongError = decryptor.Error();

  // Old installations derived a 40-bit key; their values only show it by
  // failing the padding check (or yielding garbage) under the 128-bit key.
  std::string weakError;
  if (decryptor.DeriveKey(kPassPhrase, CryptoKeyStrength::kBase40) &&
      decryptor.Process(cipher.data(), cipher.size())) {
    const std::vector<uint8_t> weak = decryptor.Join();
    if (!strongOk || LooksLikeTypedText(weak)) {
      plainOut = UpToNul(weak);
      return true;
    }
  } else {
    weakError = decryptor.Error();
  }
  if (strongOk) {
    // Both keys give something; the current key's reading is the likelier.
    plainOut = UpToNul(strong);
    return true;
  }
  return Fail(error, "stored password " + Quote(hexText) + " does not decrypt: " + strongError +
                         "; with the 40-bit key of older installations: " + weakError);
}

}  // namespace

bool EncryptPassword(std::string_view plain, std::string& hexOut, std::string* error) {
  hexOut.clear();
  try {
    if (error != nullptr) error->clear();
    if (Encrypt(plain, hexOut, error)) return true;
  } catch (const CQUpdateUtilCoderException& e) {
    FailQuietly(error, "cannot encode the encrypted password: ", e.what());
  } catch (const std::bad_alloc&) {
    FailQuietly(error, "cannot encrypt the password: ", "out of memory");
  }
  hexOut.clear();
  return false;
}

bool DecryptPassword(std::string_view hexText, std::string& plainOut, std::string* error) {
  plainOut.clear();
  try {
    if (error != nullptr) error->clear();
    if (Decrypt(hexText, plainOut, error)) return true;
  } catch (const CQUpdateUtilCoderException& e) {
    FailQuietly(error, "cannot decode the stored password: ", e.what());
  } catch (const std::bad_alloc&) {
    FailQuietly(error, "cannot decrypt the stored password: ", "out of memory");
  }
  plainOut.clear();
  return false;
}

}  // namespace qrv
