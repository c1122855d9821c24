#include "tools/qrvpublish/ReleasePath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/core/UniqueFd.h"

namespace qrv::tools {

namespace fs = std::filesystem;

bool ReleasePath::IsRelative(const std::string& path, std::string& why) {
  if (path.empty()) {
    why = "is empty";
    return false;
  }
  if (path.front() == '/' || path.front() == '\\' || (path.size() > 1 && path[1] == ':')) {
    why = "is absolute";
    return false;
  }
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") {
      why = part == ".." ? "climbs out with \"..\"" : "has an empty or \".\" component";
      return false;
    }
    start = end + 1;
  }
  return true;
}

bool ReleasePath::Resolve(const fs::path& base, const std::string& relative, bool wantFolder, fs::path& out,
                          std::string& why) {
  if (!IsRelative(relative, why)) {
    why = "\"" + relative + "\" " + why + " (paths are relative to " + base.string() + ")";
    return false;
  }
  fs::path at = base;
  size_t start = 0;
  while (start < relative.size()) {
    size_t end = relative.find_first_of("/\\", start);
    if (end == std::string::npos) end = relative.size();
    at /= relative.substr(start, end - start);
    start = end + 1;
    struct stat st {};
    if (lstat(at.c_str(), &st) != 0) {
      why = "\"" + at.string() + "\" cannot be read: " + std::strerror(errno);
      return false;
    }
    if (S_ISLNK(st.st_mode)) {
      why = "\"" + at.string() + "\" is a symbolic link; name the folder it points to instead";
      return false;
    }
    const bool last = start >= relative.size();
    if (!last && !S_ISDIR(st.st_mode)) {
      why = "\"" + at.string() + "\" is not a folder";
      return false;
    }
    if (last && wantFolder && !S_ISDIR(st.st_mode)) {
      why = "\"" + at.string() + "\" is not a folder";
      return false;
    }
    if (last && !wantFolder && !S_ISREG(st.st_mode)) {
      why = "\"" + at.string() + "\" is not a regular file";
      return false;
    }
  }
  out = at;
  return true;
}

bool ReleasePath::ReadSmallFile(const fs::path& path, uint64_t maxBytes, std::string& out, std::string& why) {
  const platform::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.Get() < 0) {
    why = "\"" + path.string() + "\" cannot be opened: " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "\"" + path.string() + "\" is not a regular file";
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    why = "\"" + path.string() + "\" has " + std::to_string(st.st_size) + " bytes, at most " + std::to_string(maxBytes) +
          " are read";
    return false;
  }
  out.assign(static_cast<size_t>(st.st_size), '\0');
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = read(fd.Get(), out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      why = "\"" + path.string() + "\" cannot be read: " + std::strerror(n < 0 ? errno : EIO);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace qrv::tools
