#pragma once

#include <string>

namespace qrv::platform {

// The user's temporary folder: $TMPDIR when set and not empty, else /tmp.
class TempFolder {
 public:
  // Always ends in exactly one '/'.
  static std::string Get();
};

}  // namespace qrv::platform
