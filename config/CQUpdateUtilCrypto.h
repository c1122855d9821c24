#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/crypto/Rc2Cipher.h"

namespace qrv {

// Algorithm identifiers as the system's crypto interface numbers them.
inline constexpr uint32_t kCalgMd5 = 0x8004;
inline constexpr uint32_t kCalgRc2 = 0x6602;
inline constexpr uint32_t kCalgRc4 = 0x6801;

// (algorithm identifier, cipher block length in bytes).
using CryptoAlgorithm = std::pair<uint32_t, uint32_t>;

// Which key a pass phrase gives. kStrong128 is what current installations
// derive (all 16 MD5 bytes, 128 effective bits); kBase40 is what old
// installations on the 40-bit provider derived (5 MD5 bytes and 11 zero
// bytes of salt, 40 effective bits) and is only ever needed to read values
// they wrote.
enum class CryptoKeyStrength { kStrong128, kBase40 };

// Base of the pass-phrase encryptor and decryptor: a session key derived
// from the MD5 of a pass phrase, and the output of the last Process call as
// an ordered list of byte blocks.
//
// Process hands data to the cipher in chunks of ChunkSize() bytes (1000
// rounded down to whole cipher blocks); the chunk that ends exactly at the
// end of the data, or the remainder after the last whole chunk, goes as the
// final one. Only RC2 is implemented; any other algorithm leaves the object
// without a key.
//
// Errors: no call throws. A failed key set-up or Process returns false (or
// leaves IsReady() false) with the reason in Error(); a failed Process
// empties the output and releases the key, so no half-processed bytes are
// ever handed on.
//
// Thread: an object belongs to one thread at a time.
class CQUpdateUtilCrypto {
 public:
  explicit CQUpdateUtilCrypto(CryptoAlgorithm algorithm = {kCalgRc4, 1});
  virtual ~CQUpdateUtilCrypto();
  CQUpdateUtilCrypto(const CQUpdateUtilCrypto&) = delete;
  CQUpdateUtilCrypto& operator=(const CQUpdateUtilCrypto&) = delete;

  // Forgets the key (wiping it); Process fails until a new key is set up.
  virtual void Release();

  // Encrypts or decrypts `length` bytes at `data` (null allowed for 0) as one
  // whole message, replacing the previous output.
  virtual bool Process(const uint8_t* data, size_t length) = 0;
  bool ProcessText(std::string_view text);

  bool IsReady() const { return m_cipher.IsReady(); }
  const std::vector<std::vector<uint8_t>>& Blocks() const { return m_blocks; }
  // Total bytes over all blocks.
  size_t Length() const { return m_length; }
  // All blocks joined, in order.
  std::vector<uint8_t> Join() const;
  // Why the last key set-up or Process failed; empty after a success.
  const std::string& Error() const { return m_error; }

  uint32_t AlgorithmId() const { return m_algorithmId; }
  uint32_t BlockLength() const { return m_blockLength; }
  uint32_t ChunkSize() const { return m_chunkSize; }

 protected:
  bool SetUpKey(platform::Rc2Cipher::Direction direction, std::string_view passPhrase,
                CryptoKeyStrength strength);
  // The chunking described above; `action` ("encrypting", "decrypting")
  // starts the text of failures found before the cipher is reached.
  bool ProcessChunks(const uint8_t* data, size_t length, const char* action);

 private:
  bool ProcessChunksOrThrow(const uint8_t* data, size_t length, const char* action);
  bool SetUpKeyOrThrow(platform::Rc2Cipher::Direction direction, std::string_view passPhrase,
                       CryptoKeyStrength strength);
  void SetError(const std::string& text) noexcept;
  void ClearBlocks() noexcept;

  std::vector<std::vector<uint8_t>> m_blocks;
  size_t m_length = 0;
  platform::Rc2Cipher m_cipher;
  uint32_t m_chunkSize;
  uint32_t m_algorithmId;
  uint32_t m_blockLength;
  std::string m_error;
};

}  // namespace qrv
