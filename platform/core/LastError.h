#pragma once

#include <string>

namespace qrv::platform {

// The platform layer reports failures as small status values; the text that
// explains the last failure (with the actual paths and values) is kept per
// thread, the way the system's last-error code is, so callers that want to
// tell a person what went wrong can fetch it right after the failing call.
//
// Thread: each thread sees only its own text.
class LastError {
 public:
  static void Set(std::string text);
  static void Clear();
  // The text of the last failure on this thread; empty when none was recorded
  // since the last Clear().
  static const std::string& Text();
};

}  // namespace qrv::platform
