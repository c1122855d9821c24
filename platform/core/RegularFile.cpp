#include "platform/core/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace qrv::platform {

bool RegularFile::ReadPrefix(const std::string& path, size_t maxBytes, std::string& bytes, bool& truncated) {
  bytes.clear();
  truncated = false;
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok) {
    // One byte more than wanted tells a file of exactly maxBytes from a
    // larger one; a small file needs no big buffer.
    bytes.resize(std::min<size_t>(static_cast<size_t>(std::max<off_t>(st.st_size, 0)), maxBytes) + 1);
    size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ok = false;
        break;
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    truncated = ok && got > maxBytes;
    bytes.resize(ok ? std::min(got, maxBytes) : 0);
  }
  close(fd);
  return ok;
}

}  // namespace qrv::platform
