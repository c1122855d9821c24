#pragma once

#include <string>

namespace qrv::platform {

// The version text a product's main file carries.
//
// Thread: any.
class FileVersion {
 public:
  // Fills version and returns true when the file carries a version text.
  // Files without one (every file, until version resources are read) give
  // false and leave version empty.
  static bool Read(const std::string& path, std::string& version);
};

}  // namespace qrv::platform
