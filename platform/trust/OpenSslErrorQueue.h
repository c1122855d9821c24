#pragma once

#include <string>

namespace qrv::platform {

// Internal to platform/trust: OpenSSL keeps its error details in a per-thread
// queue. Take() empties it into one line, so that stale entries never end up
// in a later, unrelated message.
class OpenSslErrorQueue {
 public:
  // "no details" when the queue was empty.
  static std::string Take();
};

}  // namespace qrv::platform
