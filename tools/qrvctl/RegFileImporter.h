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
// The whole file is parsed and checked before anything is written, so a file
// with a syntax error or a value type the store cannot hold (expandable and
// multi-strings, 64-bit numbers) changes nothing. Supported lines: [KEY]
// (created when missing), [-KEY] (deleted with everything below it),
// "name"="text", "name"=dword:xxxxxxxx, "name"=hex:..., "name"=hex(3):...,
// "name"=hex(4):... (four bytes), "name"=- (deleted), @=... for the default
// value, ';' comments and '\' continuation lines.
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
  // Carries the operations out in file order; false with the reason at the
  // first failure (operations before it stay applied). Deleting a key that
  // does not exist is not a failure.
  static bool Apply(const std::vector<Operation>& operations, std::string& error);
};

}  // namespace qrv::tools
