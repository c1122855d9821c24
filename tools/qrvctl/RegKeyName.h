#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qrv::tools {

// A full key name as administrators write it: a root (HKLM or
// HKEY_LOCAL_MACHINE, HKCR, HKCU, HKU, HKCC; any case) and the path below it,
// joined with '\'.
class RegKeyName {
 public:
  // Splits text into a root index and a path ("" for the root itself). False
  // with a message in error when no root is named.
  static bool Parse(std::string_view text, uint32_t& root, std::string& path, std::string& error);
  // "HKEY_LOCAL_MACHINE\path", the spelling of exported files.
  static std::string LongForm(uint32_t root, std::string_view path);
};

}  // namespace qrv::tools
