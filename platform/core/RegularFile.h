#pragma once

#include <cstddef>
#include <string>

namespace qrv::platform {

// Reading a file whose name came from outside (a server's file list, the
// download folder), where a link, a FIFO or a device may have been planted.
//
// Thread: any.
class RegularFile {
 public:
  // The first maxBytes of the regular file at path, never through a link
  // (in its last component) and never blocking on a FIFO; truncated says
  // the file held more. false, bytes empty, when path is no regular file or
  // a read fails (half a file is never returned).
  static bool ReadPrefix(const std::string& path, size_t maxBytes, std::string& bytes, bool& truncated);
};

}  // namespace qrv::platform
