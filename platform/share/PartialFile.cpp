#include "platform/share/PartialFile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/core/Diagnostics.h"
#include "platform/core/LastError.h"

namespace qrv::platform {
namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

PartialFile::~PartialFile() { Discard(); }

bool PartialFile::Open(const std::string& target) {
  if (m_fd >= 0) {
    LastError::Set("cannot receive " + Quoted(target) + ": " + Quoted(m_target) + " is still being received");
    return false;
  }
  std::string folder = FolderOf(target);
  std::string base = target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
  if (base.empty()) {
    LastError::Set("cannot receive " + Quoted(target) + ": the name ends in '/', it names a folder");
    return false;
  }
  // cut the name so the temporary name stays within NAME_MAX whatever the target's length
  std::string temp = (folder == "/" ? "" : folder) + "/." + base.substr(0, 100) + ".qrvpart-XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    int code = errno;
    if (code == ENOENT || code == ENOTDIR) {
      LastError::Set("cannot write " + Quoted(target) + ": its folder " + Quoted(folder) + " does not exist");
    } else {
      LastError::Set("cannot create a temporary file in " + Quoted(folder) + " for " + Quoted(target) + ": " +
                     std::strerror(code));
    }
    return false;
  }
  m_fd = fd;
  m_target = target;
  m_temp = std::move(temp);
  return true;
}

bool PartialFile::Write(const char* data, size_t size) {
  if (m_fd < 0) {
    LastError::Set("cannot write " + Quoted(m_target) + ": no file is open");
    return false;
  }
  while (size > 0) {
    ssize_t done = ::write(m_fd, data, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      int code = errno;
      LastError::Set("cannot write " + Quoted(m_temp) + " for " + Quoted(m_target) + ": " + std::strerror(code));
      Discard();
      return false;
    }
    data += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

bool PartialFile::Commit(const struct timespec* modified, mode_t permissions) {
  if (m_fd < 0) {
    LastError::Set("cannot finish " + Quoted(m_target) + ": no file is open");
    return false;
  }
  auto fail = [&](const std::string& what) {
    LastError::Set(what + ": " + std::strerror(errno));
    Discard();
    return false;
  };
  // mkstemp made it 0600; narrower when the source is
  if (::fchmod(m_fd, permissions & 0700) != 0) return fail("cannot set the permissions of " + Quoted(m_temp));
  if (modified != nullptr) {
    struct timespec times[2] = {{0, UTIME_OMIT}, *modified};
    if (::futimens(m_fd, times) != 0) return fail("cannot set the time of " + Quoted(m_temp));
  }
  // on disk before the rename, or a crash could leave an empty file under the real name
  if (::fsync(m_fd) != 0) return fail("cannot flush " + Quoted(m_temp) + " for " + Quoted(m_target));
  int fd = m_fd;
  m_fd = -1;
  if (::close(fd) != 0) {
    LastError::Set("cannot close " + Quoted(m_temp) + " for " + Quoted(m_target) + ": " + std::strerror(errno));
    ::unlink(m_temp.c_str());
    m_temp.clear();
    return false;
  }
  if (::rename(m_temp.c_str(), m_target.c_str()) != 0) {
    int code = errno;
    if (code == EISDIR) {
      LastError::Set("cannot replace " + Quoted(m_target) + ": it is a folder");
    } else {
      LastError::Set("cannot replace " + Quoted(m_target) + " with " + Quoted(m_temp) + ": " + std::strerror(code));
    }
    ::unlink(m_temp.c_str());
    m_temp.clear();
    return false;
  }
  m_temp.clear();

  /* the rename itself */
  std::string folder = FolderOf(m_target);
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    if (::fsync(dir) != 0 && errno != EINVAL && errno != ENOTSUP) {
      // the file is complete and in place; only whether the rename survives a crash is in doubt
      Diagnostics::Report("\"" + m_target +
                          "\" was received but its folder could not be flushed: " + std::strerror(errno));
    }
    ::close(dir);
  }
  return true;
}

void PartialFile::Discard() {
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
  if (!m_temp.empty()) {
    ::unlink(m_temp.c_str());
    m_temp.clear();
  }
}

}  // namespace qrv::platform
