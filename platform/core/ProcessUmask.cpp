#include "platform/core/ProcessUmask.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qrv::platform {

mode_t ProcessUmask::Get() {
  /* the kernel's own report */
  const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    // "Umask:" stands near the top; the first 4 KiB hold it on every kernel
    char text[4096];
    size_t length = 0;
    while (length < sizeof text - 1) {
      const ssize_t got = ::read(fd, text + length, sizeof text - 1 - length);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      length += static_cast<size_t>(got);
    }
    ::close(fd);
    text[length] = '\0';
    for (const char* line = text; line != nullptr && *line != '\0';) {
      if (std::strncmp(line, "Umask:", 6) == 0) {
        char* end = nullptr;
        const unsigned long mask = std::strtoul(line + 6, &end, 8);
        if (end != line + 6) return static_cast<mode_t>(mask & 0777);
      }
      line = std::strchr(line, '\n');
      if (line != nullptr) ++line;
    }
  }

  /* no /proc: the round trip, through the tightest mask */
  const mode_t mask = ::umask(077);
  ::umask(mask);
  return mask & 0777;
}

}  // namespace qrv::platform
