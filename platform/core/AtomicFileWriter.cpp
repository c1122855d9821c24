#include "platform/core/AtomicFileWriter.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/core/Diagnostics.h"

namespace qrv::platform {
namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// The process's umask, read without changing it (umask(2) can only be read by
// setting it, which races with other threads creating files).
mode_t CurrentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
    }
  }
  return 022;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t done = ::write(fd, bytes.data(), bytes.size());
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(done));
  }
  return true;
}

}  // namespace

bool AtomicFileWriter::Replace(const std::string& path, std::string_view bytes, const struct stat* existing,
                               std::string& error) {
  mode_t mode = existing != nullptr ? (existing->st_mode & 07777) : (0666 & ~CurrentUmask());
  return Write(path, bytes, existing, mode, error);
}

bool AtomicFileWriter::Replace(const std::string& path, std::string_view bytes, mode_t mode, std::string& error) {
  return Write(path, bytes, nullptr, mode & 07777, error);
}

bool AtomicFileWriter::Write(const std::string& path, std::string_view bytes, const struct stat* existing,
                             mode_t mode, std::string& error) {
  /* temporary file beside the target */
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty()) {
    error = "file name " + Quoted(path) + " names a folder, not a file";
    return false;
  }
  // keep the temporary name within NAME_MAX whatever the target's length
  std::string temp = (folder == "/" ? "" : folder) + "/." + base.substr(0, 100) + ".qrv-XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    int code = errno;
    if (code == ENOENT) {
      error = "cannot write file " + Quoted(path) + ": its folder " + Quoted(folder) + " does not exist";
    } else {
      error = "cannot create a temporary file in folder " + Quoted(folder) + " to write file " +
              Quoted(path) + ": " + std::strerror(code);
    }
    return false;
  }
  auto abandon = [&](const std::string& what, int code) {
    error = what + ": " + std::strerror(code);
    ::close(fd);
    ::unlink(temp.c_str());
    return false;
  };

  /* owner and permissions of the file it replaces */
  if (existing != nullptr) {
    struct stat own {};
    if (::fstat(fd, &own) == 0 && (own.st_uid != existing->st_uid || own.st_gid != existing->st_gid)) {
      // only root (or a member of the file's group) may do this; a file that
      // changes owner still beats a file that is not written
      if (::fchown(fd, existing->st_uid, existing->st_gid) != 0) {
        (void)::fchown(fd, static_cast<uid_t>(-1), existing->st_gid);
      }
    }
  }
  if (::fchmod(fd, mode) != 0) {
    int code = errno;
    return abandon("cannot set the permissions of temporary file " + Quoted(temp), code);
  }

  /* content, on disk before the rename */
  if (!WriteAll(fd, bytes)) {
    int code = errno;
    return abandon("cannot write temporary file " + Quoted(temp) + " for file " + Quoted(path), code);
  }
  if (::fsync(fd) != 0) {
    int code = errno;
    return abandon("cannot flush temporary file " + Quoted(temp) + " for file " + Quoted(path), code);
  }
  if (::close(fd) != 0) {
    int code = errno;
    ::unlink(temp.c_str());
    error = "cannot close temporary file " + Quoted(temp) + " for file " + Quoted(path) + ": " +
            std::strerror(code);
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int code = errno;
    ::unlink(temp.c_str());
    error = "cannot replace file " + Quoted(path) + " with " + Quoted(temp) + ": " + std::strerror(code);
    return false;
  }

  /* the rename itself */
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    if (::fsync(dir) != 0 && errno != EINVAL && errno != ENOTSUP) {
      // the new content is in place; only its durability across a crash is in doubt
      Diagnostics::Report("file \"" + path + "\" was written but its folder could not be flushed: " +
                          std::strerror(errno));
    }
    ::close(dir);
  }
  return true;
}

}  // namespace qrv::platform
