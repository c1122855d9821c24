#include "config/CQUpdateUtilCrypto.h"

#include <array>
#include <cstdio>
#include <new>

#include "platform/core/LastError.h"
#include "platform/crypto/Md5Digest.h"

namespace qrv {
namespace {

constexpr uint32_t kChunkBase = 1000;

// Key bytes must not linger in freed memory; volatile keeps the compiler
// from dropping stores to an object that is about to die.
template <size_t N>
void Wipe(std::array<uint8_t, N>& bytes) {
  volatile uint8_t* p = bytes.data();
  for (size_t i = 0; i < N; ++i) p[i] = 0;
}

std::string Hex4(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

}  // namespace

CQUpdateUtilCrypto::CQUpdateUtilCrypto(CryptoAlgorithm algorithm)
    : m_algorithmId(algorithm.first), m_blockLength(algorithm.second) {
  // Chunks are whole cipher blocks so that only the final one is padded.
  m_chunkSize = m_blockLength == 0 ? kChunkBase : kChunkBase - kChunkBase % m_blockLength;
  // A block longer than the base would give empty chunks and never finish.
  if (m_chunkSize == 0) m_chunkSize = m_blockLength;
}

CQUpdateUtilCrypto::~CQUpdateUtilCrypto() { CQUpdateUtilCrypto::Release(); }

void CQUpdateUtilCrypto::Release() { m_cipher.Reset(); }

bool CQUpdateUtilCrypto::ProcessText(std::string_view text) {
  return Process(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::vector<uint8_t> CQUpdateUtilCrypto::Join() const {
  std::vector<uint8_t> joined;
  joined.reserve(m_length);
  for (const auto& block : m_blocks) joined.insert(joined.end(), block.begin(), block.end());
  return joined;
}

void CQUpdateUtilCrypto::SetError(const std::string& text) noexcept {
  try {
    m_error = text;
  } catch (const std::bad_alloc&) {
    m_error.clear();
  }
}

void CQUpdateUtilCrypto::ClearBlocks() noexcept {
  m_blocks.clear();
  m_length = 0;
}

bool CQUpdateUtilCrypto::SetUpKey(platform::Rc2Cipher::Direction direction,
                                  std::string_view passPhrase, CryptoKeyStrength strength) {
  try {
    return SetUpKeyOrThrow(direction, passPhrase, strength);
  } catch (const std::bad_alloc&) {
    m_cipher.Reset();
    SetError("cannot set up the key: out of memory");
    return false;
  }
}

bool CQUpdateUtilCrypto::SetUpKeyOrThrow(platform::Rc2Cipher::Direction direction,
                                         std::string_view passPhrase,
                                         CryptoKeyStrength strength) {
  m_cipher.Reset();
  m_error.clear();
  if (m_algorithmId != kCalgRc2) {
    SetError("cipher algorithm " + Hex4(m_algorithmId) + " is not supported, only RC2 (" +
             Hex4(kCalgRc2) + ")");
    return false;
  }
  platform::Md5Digest::Value digest;
  if (!platform::Md5Digest::Compute(passPhrase.data(), passPhrase.size(), digest)) {
    SetError("cannot hash the pass phrase: " + platform::LastError::Text());
    return false;
  }
  // Current installations key RC2 with the whole digest at full strength.
  // The old 40-bit provider used 5 digest bytes followed by 11 zero bytes of
  // salt, which RC2 takes as part of the key, limited to 40 effective bits.
  std::array<uint8_t, 16> key{};
  unsigned bits = 128;
  if (strength == CryptoKeyStrength::kStrong128) {
    key = digest;
  } else {
    for (size_t i = 0; i < 5; ++i) key[i] = digest[i];
    bits = 40;
  }
  const bool ok = m_cipher.Init(direction, key.data(), key.size(), bits);
  Wipe(key);
  Wipe(digest);
  if (!ok) {
    SetError("cannot set up the " + std::to_string(bits) +
             "-bit RC2 key: " + platform::LastError::Text());
    return false;
  }
  return true;
}

bool CQUpdateUtilCrypto::ProcessChunks(const uint8_t* data, size_t length, const char* action) {
  try {
    return ProcessChunksOrThrow(data, length, action);
  } catch (const std::bad_alloc&) {
    ClearBlocks();
    Release();
    SetError(std::string(action) + " ran out of memory");
    return false;
  }
}

bool CQUpdateUtilCrypto::ProcessChunksOrThrow(const uint8_t* data, size_t length,
                                              const char* action) {
  ClearBlocks();
  if (!m_cipher.IsReady()) {
    // m_error still says why the key went away (a failed set-up or Process).
    SetError(std::string(action) + " " + std::to_string(length) + " bytes: there is no key" +
             (m_error.empty() ? "" : " (" + m_error + ")"));
    return false;
  }
  m_error.clear();
  if (data == nullptr && length != 0) {
    SetError(std::string(action) + " " + std::to_string(length) + " bytes given without data");
    return false;
  }

  auto step = [&](size_t offset, size_t count, bool final) {
    std::vector<uint8_t> block;
    if (!m_cipher.Process(data + offset, count, final, block)) return false;
    m_length += block.size();
    m_blocks.push_back(std::move(block));
    return true;
  };
  bool ok = true;
  if (length <= m_chunkSize) {
    ok = step(0, length, true);
  } else {
    size_t offset = 0;
    for (; ok && offset + m_chunkSize <= length; offset += m_chunkSize) {
      ok = step(offset, m_chunkSize, offset + m_chunkSize == length);
    }
    if (ok && offset < length) ok = step(offset, length - offset, true);
  }
  if (!ok) {
    const std::string why = platform::LastError::Text();
    ClearBlocks();
    Release();
    SetError(why);
    return false;
  }
  return true;
}

}  // namespace qrv
