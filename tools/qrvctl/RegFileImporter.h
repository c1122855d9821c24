#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry/RegistryTypes.h"

namespace qrv::tools {

// Reads a registry file in the text format of Windows' registry editor
// ("REGEDIT4", or "Windows Registry Editor Version 5.00" in UTF-8 or UTF-16LE
// with its byte-order mark) and applies it to the store.
//
// The whole file is parsed and checked before anything is written, and then
// written in one transaction, so a file with a syntax error, a value type the
// store cannot hold (expandable and multi-strings, 64-bit numbers), a name
// over the store's limits or a write the store refuses changes nothing.
// Supported lines: [KEY] (created when missing), [-KEY] (deleted with
// everything below it), "name"="text", "name"=dword:xxxxxxxx, "name"=hex:...,
// "name"=hex(3):..., "name"=hex(4):... (four bytes), "name"=hex(1):... (a
// REG_SZ of exactly these bytes; REGEDIT4 files only), "name"=- (deleted),
// @=... for the default value, ';' comments and '\' continuation lines.
class RegFileImporter {
 public:
  struct Operation {
    enum class Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind;
    uint32_t root = 0;
    std::string path;
    std::string name;
    platform::RegValue value;
  };

  // Parses text; false with "FILE:LINE: reason" in error.
  static bool Parse(const std::string& fileName, const std::string& text, std::vector<Operation>& operations,
                    std::string& error);
  // Whether every key path, value name and value passes the store's limits
  // (RegistryKey::CheckPath / CheckValue); false with "KEY: reason" for the
  // first that does not.
  static bool Check(const std::vector<Operation>& operations, std::string& error);
  // Checks every operation first (Check), then carries them out in file order
  // in one transaction per store (RegistryTransaction): false with the reason
  // at the first failure, and then nothing of the file was written. Deleting
  // a key or value that does not exist is not a failure.
  static bool Apply(const std::vector<Operation>& operations, std::string& error);
};

}  // namespace qrv::tools
