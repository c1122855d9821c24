#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qrv::platform {

// MD5 of a byte string, the hash the stored-password key is derived from.
// MD5 is used here only because values written by other installations must
// keep reading back; it protects nothing on its own.
//
// Thread: any; no shared state.
class Md5Digest {
 public:
  using Value = std::array<uint8_t, 16>;

  // Hashes `length` bytes at `data` (null is allowed when length is 0).
  // Returns false with the reason in LastError (and `out` zeroed) when
  // OpenSSL cannot provide MD5 or memory runs out; never throws.
  static bool Compute(const void* data, size_t length, Value& out);
};

}  // namespace qrv::platform
