#include "platform/share/FolderFile.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace qrv::platform {
namespace {

// -1 with errno ENOSYS (or what a seccomp filter answers) when the kernel
// offers no openat2.
int OpenAt2(int folder, const std::string& name, int flags) {
  struct open_how how {};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(::syscall(SYS_openat2, folder, name.c_str(), &how, sizeof how));
}

bool SplitName(std::string_view name, std::vector<std::string>& parts) {
  if (name.empty()) {
    errno = EINVAL;
    return false;
  }
  if (name.front() == '/') {
    errno = EXDEV;
    return false;
  }
  size_t start = 0;
  while (start <= name.size()) {
    size_t slash = name.find('/', start);
    std::string_view part = name.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (part == "..") {
      errno = EXDEV;
      return false;
    }
    if (part.empty() || part == ".") {
      errno = EINVAL;
      return false;
    }
    parts.emplace_back(part);
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return true;
}

int Walk(int folder, std::string_view name, int flags) {
  std::vector<std::string> parts;
  if (!SplitName(name, parts)) return -1;
  int current = folder;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    int next = ::openat(current, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int code = errno;
    if (next < 0 && code == ENOTDIR) {
      // O_PATH with O_NOFOLLOW takes a link for what it is, not a folder: say which it was
      struct stat st {};
      if (::fstatat(current, parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) code = ELOOP;
    }
    if (current != folder) ::close(current);
    if (next < 0) {
      errno = code;
      return -1;
    }
    current = next;
  }
  int fd = ::openat(current, parts.back().c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
  int code = errno;
  if (fd >= 0 && (flags & O_PATH) != 0) {
    // O_PATH | O_NOFOLLOW opens a link itself instead of failing
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISLNK(st.st_mode)) {
      ::close(fd);
      fd = -1;
      code = ELOOP;
    }
  }
  if (current != folder) ::close(current);
  errno = code;
  return fd;
}

}  // namespace

int FolderFile::Open(int folder, std::string_view name, int flags, Method method) {
  if (method == Method::kAuto) {
    int fd = OpenAt2(folder, std::string(name), flags);
    if (fd >= 0) return fd;
    // ENOSYS: an older kernel; EPERM: a seccomp filter that does not know the call
    if (errno != ENOSYS && errno != EPERM) return -1;
  }
  return Walk(folder, name, flags);
}

std::string FolderFile::Explain(int code) {
  switch (code) {
    case ELOOP:
      return "it is, or lies behind, a symbolic link, and links are never followed in an update folder";
    case EXDEV:
      return "the name leads out of the folder";
    case EINVAL:
      return "the name has an empty, \".\" or \"..\" component";
    default:
      return std::strerror(code);
  }
}

}  // namespace qrv::platform
