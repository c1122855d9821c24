#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qrv::platform {

// RC2 in CBC mode with a zero IV and PKCS#5 padding, used the way the
// system's CryptEncrypt / CryptDecrypt are: a message goes in over any number
// of calls, the last of them marked final. The chain carries on from call to
// call; a final call pads (encrypting) or checks and strips the padding
// (decrypting) and starts the next message from the IV again.
//
// Decrypting, a non-final call holds back the last 8 plain bytes it has,
// because only the final call can tell whether they end in padding. The
// output of all calls of a message put together is the same however the
// input was split.
//
// The key is any 1..128 bytes; the effective key bits (1..1024) are set
// apart from the key length, as RC2 allows, so that a 16-byte key can be
// used at 40 effective bits.
//
// Errors: every function returns false on failure and leaves the reason, with
// the actual values, in LastError; none throws. After a failed final call
// nothing of that call was appended to `out` and the next call starts a new
// message. When OpenSSL's legacy provider cannot be loaded, Init fails with a
// message saying so.
//
// Thread: one object belongs to one thread at a time; separate objects may be
// used on different threads at once. Move-only. The key is wiped from memory
// when the object is reset or destroyed.
class Rc2Cipher {
 public:
  enum class Direction { kEncrypt, kDecrypt };
  static constexpr size_t kBlockSize = 8;

  Rc2Cipher();
  ~Rc2Cipher();
  Rc2Cipher(Rc2Cipher&& other) noexcept;
  Rc2Cipher& operator=(Rc2Cipher&& other) noexcept;
  Rc2Cipher(const Rc2Cipher&) = delete;
  Rc2Cipher& operator=(const Rc2Cipher&) = delete;

  // Sets the key and direction and starts a message. On failure the object
  // is left without a key (IsReady() false).
  bool Init(Direction direction, const uint8_t* key, size_t keyLength, unsigned effectiveBits);

  // Feeds `length` bytes of the current message and appends what is ready to
  // `out` (existing contents are kept). `data` may be null when length is 0.
  // Decrypting, a final call fails when the message is empty, is not a whole
  // number of blocks, or its padding does not check out.
  bool Process(const uint8_t* data, size_t length, bool final, std::vector<uint8_t>& out);

  // True between a successful Init and Reset().
  bool IsReady() const;

  // Forgets the key; Process then fails until the next Init.
  void Reset();

 private:
  struct State;
  bool InitKey(Direction direction, const uint8_t* key, size_t keyLength, unsigned effectiveBits);
  bool ProcessMessage(const uint8_t* data, size_t length, bool final, std::vector<uint8_t>& out);
  bool StartMessage();
  bool Fail(const char* what);

  std::unique_ptr<State> m_state;
};

}  // namespace qrv::platform
