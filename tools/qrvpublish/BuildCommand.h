#pragma once

#include <string>
#include <vector>

namespace qrv::tools {

// qrvpublish build RELEASE.toml OUT [--previous OLD] [--cab-size SIZE]
//   [--serial N] [--valid-days DAYS] [--force]
//   (--cert PEM --key PEM | --pkcs12 FILE | --cert PEM --key pkcs11:URI
//    --pkcs11-module SO) [--pass-fd N | --pass-file FILE] [--timestamp-url URL]
//
// The pass phrase is read from a descriptor the caller hands down (a pipe)
// or a file (its first line), never from the command line.
//
// Thread: the program's main thread.
class BuildCommand {  // static functions only
 public:
  static int Run(const std::vector<std::string>& args);
  // "64M", "512K", "1G" or bytes; false when not a size from 1 KiB to 1 GiB.
  static bool ParseSize(const std::string& text, uint64_t& bytes);
};

}  // namespace qrv::tools
