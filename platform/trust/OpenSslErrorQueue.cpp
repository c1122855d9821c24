#include "platform/trust/OpenSslErrorQueue.h"

#include <openssl/err.h>

namespace qrv::platform {

std::string OpenSslErrorQueue::Take() {
  std::string text;
  unsigned long code = 0;
  while ((code = ERR_get_error()) != 0) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text.empty() ? "no details" : text;
}

}  // namespace qrv::platform
