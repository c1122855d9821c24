#include "platform/core/TempFolder.h"

#include <cstdlib>

namespace qrv::platform {

std::string TempFolder::Get() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = (env != nullptr && *env != '\0') ? env : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir != "/") dir += '/';
  return dir;
}

}  // namespace qrv::platform
