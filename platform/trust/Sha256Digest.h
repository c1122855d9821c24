#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qrv::platform {

// SHA-256 of bytes or of an open file, as 64 lower-case hex digits: the form
// in which signed update information lists the files it vouches for.
//
// Thread: any; calls share no state.
class Sha256Digest {
 public:
  static std::string OfBytes(std::string_view bytes);
  // Reads the open file fd from offset 0 to its end with pread only (the
  // caller's offset does not move, so whoever reads fd afterwards reads the
  // bytes hashed here); `size` gets the number of bytes read. False with
  // `error` (naming shownPath and the cause) when a read fails.
  static bool OfOpenFile(int fd, const std::string& shownPath, std::string& hex, uint64_t& size, std::string& error);
  // Bytes as lower-case hex digits, two per byte.
  static std::string Hex(const unsigned char* data, size_t size);
  // Whether text is 64 hex digits (either case) equal to hex (lower case).
  static bool SameHex(std::string_view text, std::string_view hex);
};

}  // namespace qrv::platform
