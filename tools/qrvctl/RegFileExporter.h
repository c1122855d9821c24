#pragma once

#include <cstdint>
#include <string>

namespace qrv::tools {

// Writes a key and everything below it as a REGEDIT4 registry file, the text
// format Windows' registry editor reads, so settings and product records move
// to and from a Windows installation.
//
// Lines end in CR LF as on Windows; strings are written as stored (UTF-8),
// with '\' and '"' escaped; REG_DWORD as dword:xxxxxxxx; REG_BINARY as hex:
// bytes, wrapped with '\' continuations.
class RegFileExporter {
 public:
  // Builds the file text. False with a message when the key does not exist or
  // cannot be read.
  static bool Export(uint32_t root, const std::string& path, std::string& text, std::string& error);
};

}  // namespace qrv::tools
