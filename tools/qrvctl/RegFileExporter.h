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
// bytes, wrapped with '\' continuations. A string that holds a NUL, a
// control character or bytes that are not UTF-8 is written as hex(1): its
// stored bytes, which RegFileImporter reads back as the same REG_SZ: the file
// keeps every value exactly, never breaks a line and shows nothing a
// terminal would act on in its data. Key and value names are written as they
// are.
class RegFileExporter {
 public:
  // Builds the file text. False with a message when the key does not exist or
  // cannot be read, or a key or value name below it holds a CR or LF (a name
  // has no other form in the file, and the line end would split its line).
  static bool Export(uint32_t root, const std::string& path, std::string& text, std::string& error);
};

}  // namespace qrv::tools
