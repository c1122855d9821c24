#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qrv::tools {

// Packs files into one MSZIP cabinet with libgcab. Each entry keeps its
// folders (the name uses '\' between them, as cabinets do), its modification
// time (as local time, which the client reads back the same way), the
// executable mark of a program, and the UTF-8 name flag, so names outside
// ASCII arrive intact.
//
// Thread: any; separate writers may run at the same time.
class CabinetWriter {  // static functions only
 public:
  struct Entry {
    std::filesystem::path source;   // the file to pack
    std::string name;               // its name in the cabinet, '\' between folders
  };

  // Writes `out` (replacing it); false with the reason, naming the file.
  static bool Write(const std::vector<Entry>& entries, const std::filesystem::path& out, std::string& why);
};

}  // namespace qrv::tools
