#include "platform/crypto/Rc2Cipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

#include "platform/core/LastError.h"
#include "platform/crypto/OpenSslLegacyContext.h"

namespace qrv::platform {
namespace {

constexpr size_t kMaxKeyBytes = 128;
constexpr unsigned kMaxEffectiveBits = 1024;
// EVP takes int lengths; feed long inputs in slices well below INT_MAX.
constexpr size_t kSlice = size_t{1} << 30;

void Wipe(std::vector<uint8_t>& bytes) {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

void SetErrorQuietly(const char* text) noexcept {
  try {
    LastError::Set(text);
  } catch (const std::bad_alloc&) {
    LastError::Clear();
  }
}

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
  return text;
}

}  // namespace

struct Rc2Cipher::State {
  EVP_CIPHER_CTX* ctx = nullptr;
  const EVP_CIPHER* cipher = nullptr;
  Direction direction = Direction::kEncrypt;
  std::vector<uint8_t> key;
  unsigned bits = 0;
  uint64_t messageBytes = 0;  // input of the current message so far
  std::vector<uint8_t> held;  // decrypting: the plain block not yet handed out

  ~State() {
    EVP_CIPHER_CTX_free(ctx);
    Wipe(key);
    Wipe(held);
  }
};

Rc2Cipher::Rc2Cipher() = default;
Rc2Cipher::~Rc2Cipher() = default;
Rc2Cipher::Rc2Cipher(Rc2Cipher&& other) noexcept = default;
Rc2Cipher& Rc2Cipher::operator=(Rc2Cipher&& other) noexcept = default;

bool Rc2Cipher::IsReady() const { return m_state != nullptr; }

void Rc2Cipher::Reset() { m_state.reset(); }

bool Rc2Cipher::Fail(const char* what) {
  LastError::Set(std::string(what) + ": " + OpenSslLegacyContext::TakeErrors());
  return false;
}

bool Rc2Cipher::Init(Direction direction, const uint8_t* key, size_t keyLength,
                     unsigned effectiveBits) {
  try {
    return InitKey(direction, key, keyLength, effectiveBits);
  } catch (const std::bad_alloc&) {
    Reset();
    SetErrorQuietly("cannot set up RC2: out of memory");
    return false;
  }
}

bool Rc2Cipher::InitKey(Direction direction, const uint8_t* key, size_t keyLength,
                        unsigned effectiveBits) {
  Reset();
  if (key == nullptr || keyLength == 0 || keyLength > kMaxKeyBytes) {
    LastError::Set("RC2 key of " + std::to_string(keyLength) + " bytes" +
                   (key == nullptr ? " (no data)" : "") + ": a key has 1 to 128 bytes");
    return false;
  }
  if (effectiveBits == 0 || effectiveBits > kMaxEffectiveBits) {
    LastError::Set("RC2 effective key length of " + std::to_string(effectiveBits) +
                   " bits: it must be 1 to 1024 bits");
    return false;
  }
  std::string why;
  const EVP_CIPHER* cipher = OpenSslLegacyContext::Rc2Cbc(why);
  if (cipher == nullptr) {
    LastError::Set(why);
    return false;
  }
  auto state = std::make_unique<State>();
  state->cipher = cipher;
  state->direction = direction;
  state->key.assign(key, key + keyLength);
  state->bits = effectiveBits;
  state->held.reserve(kBlockSize);
  state->ctx = EVP_CIPHER_CTX_new();
  if (state->ctx == nullptr) return Fail("cannot create an RC2 cipher context");
  m_state = std::move(state);
  if (!StartMessage()) {
    Reset();
    return false;
  }
  return true;
}

bool Rc2Cipher::StartMessage() {
  State& s = *m_state;
  s.messageBytes = 0;
  Wipe(s.held);
  s.held.clear();
  const int encrypt = s.direction == Direction::kEncrypt ? 1 : 0;
  static const unsigned char kZeroIv[kBlockSize] = {};
  // The effective bits must reach the cipher after its key length and before
  // its key: the key schedule is computed when the key is set, and a bits
  // setting that arrives later is kept but never used.
  if (EVP_CIPHER_CTX_reset(s.ctx) != 1 ||
      EVP_CipherInit_ex(s.ctx, s.cipher, nullptr, nullptr, nullptr, encrypt) != 1) {
    return Fail("cannot start RC2-CBC");
  }
  if (EVP_CIPHER_CTX_set_key_length(s.ctx, static_cast<int>(s.key.size())) != 1) {
    return Fail(("RC2 refused a key length of " + std::to_string(s.key.size()) + " bytes").c_str());
  }
  if (EVP_CIPHER_CTX_ctrl(s.ctx, EVP_CTRL_SET_RC2_KEY_BITS, static_cast<int>(s.bits), nullptr) <=
      0) {
    return Fail(("RC2 refused " + std::to_string(s.bits) + " effective key bits").c_str());
  }
  if (EVP_CipherInit_ex(s.ctx, nullptr, nullptr, s.key.data(), kZeroIv, encrypt) != 1) {
    return Fail("cannot set the RC2 key");
  }
  // Decrypting, the padding is checked here rather than by OpenSSL, so that
  // a failure can say what the last block held.
  if (EVP_CIPHER_CTX_set_padding(s.ctx, encrypt) != 1) {
    return Fail("cannot set the RC2 padding");
  }
  return true;
}

bool Rc2Cipher::Process(const uint8_t* data, size_t length, bool final,
                        std::vector<uint8_t>& out) {
  const size_t outBase = out.size();
  try {
    return ProcessMessage(data, length, final, out);
  } catch (const std::bad_alloc&) {
    // Only reached when even the error text could not be built.
    out.resize(outBase);
    Reset();
    SetErrorQuietly("RC2 processing ran out of memory");
    return false;
  }
}

bool Rc2Cipher::ProcessMessage(const uint8_t* data, size_t length, bool final,
                               std::vector<uint8_t>& out) {
  if (!m_state) {
    LastError::Set("RC2 cipher used without a key (Init was not called or failed)");
    return false;
  }
  if (data == nullptr && length != 0) {
    LastError::Set("RC2 input of " + std::to_string(length) + " bytes given without data");
    return false;
  }
  State& s = *m_state;
  const bool encrypt = s.direction == Direction::kEncrypt;
  const size_t outBase = out.size();
  std::string failure;
  std::vector<uint8_t> produced;
  std::vector<uint8_t> plain;
  try {
    produced.resize(length + 2 * kBlockSize);
    size_t producedLength = 0;
    for (size_t done = 0; done < length;) {
      const size_t piece = std::min(length - done, kSlice);
      int written = 0;
      if (EVP_CipherUpdate(s.ctx, produced.data() + producedLength, &written, data + done,
                           static_cast<int>(piece)) != 1) {
        failure = "RC2 " + std::string(encrypt ? "encryption" : "decryption") + " of " +
                  std::to_string(length) + " bytes failed: " + OpenSslLegacyContext::TakeErrors();
        break;
      }
      producedLength += static_cast<size_t>(written);
      done += piece;
    }
    s.messageBytes += length;

    if (failure.empty() && encrypt) {
      if (final) {
        int written = 0;
        if (EVP_CipherFinal_ex(s.ctx, produced.data() + producedLength, &written) != 1) {
          failure = "RC2 encryption of a " + std::to_string(s.messageBytes) +
                    "-byte message failed to pad: " + OpenSslLegacyContext::TakeErrors();
        } else {
          producedLength += static_cast<size_t>(written);
        }
      }
      if (failure.empty()) {
        out.insert(out.end(), produced.begin(),
                   produced.begin() + static_cast<std::ptrdiff_t>(producedLength));
      }
    } else if (failure.empty()) {
      plain.reserve(s.held.size() + producedLength);
      plain.insert(plain.end(), s.held.begin(), s.held.end());
      plain.insert(plain.end(), produced.begin(),
                   produced.begin() + static_cast<std::ptrdiff_t>(producedLength));
      if (!final) {
        // Whole blocks only come out (padding is off), so the held-back
        // part is exactly the last block.
        const size_t give = plain.size() >= kBlockSize ? plain.size() - kBlockSize : 0;
        out.insert(out.end(), plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(give));
        Wipe(s.held);
        s.held.assign(plain.begin() + static_cast<std::ptrdiff_t>(give), plain.end());
      } else if (s.messageBytes == 0) {
        failure = "RC2 decryption failed: the cipher text is empty, so it has no padding block";
      } else if (s.messageBytes % kBlockSize != 0) {
        failure = "RC2 decryption failed: the cipher text has " + std::to_string(s.messageBytes) +
                  " bytes, not a whole number of 8-byte blocks";
      } else {
        const unsigned pad = plain.back();
        bool padOk = pad >= 1 && pad <= kBlockSize && pad <= plain.size();
        for (size_t i = 0; padOk && i < pad; ++i) {
          padOk = plain[plain.size() - 1 - i] == pad;
        }
        if (!padOk) {
          failure = "RC2 decryption of " + std::to_string(s.messageBytes) +
                    " bytes failed: bad padding (the last block ends in " + Hex2(pad) +
                    (pad >= 1 && pad <= kBlockSize
                         ? ", but not all of its last " + std::to_string(pad) + " bytes are " +
                               Hex2(pad)
                         : ", which is no padding length of 1 to 8") +
                    ")";
        } else {
          out.insert(out.end(), plain.begin(),
                     plain.end() - static_cast<std::ptrdiff_t>(pad));
        }
      }
    }
  } catch (const std::bad_alloc&) {
    failure = "RC2 processing ran out of memory";
  }
  Wipe(produced);
  Wipe(plain);

  if (!failure.empty()) {
    out.resize(outBase);
    // The chain is broken either way; the next call starts a new message.
    if (!StartMessage()) {
      Reset();
    }
    LastError::Set(std::move(failure));
    return false;
  }
  if (final && !StartMessage()) {
    Reset();
    return false;
  }
  return true;
}

}  // namespace qrv::platform
