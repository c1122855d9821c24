#include "cabinet/OutputFile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Cabinet {
namespace {

// The longest name whose temporary name still fits the usual 255-byte limit
// of a file name with room to spare.
constexpr size_t kLongName = 200;

std::string Reason(int error) { return std::strerror(error); }

std::string ParentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsFolder(const std::string& path, bool& exists) {
  struct stat st{};
  exists = stat(path.c_str(), &st) == 0;
  return exists && S_ISDIR(st.st_mode);
}

bool MakeFolders(const std::string& folder, std::string& error) {
  bool exists = false;
  if (IsFolder(folder, exists)) return true;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = folder.find('/', pos + 1);
    std::string prefix = folder.substr(0, pos);
    if (prefix.empty() || prefix == "/") continue;
    if (mkdir(prefix.c_str(), 0777) == 0) continue;
    int mkdirError = errno;
    if (IsFolder(prefix, exists)) continue;
    if (exists) {
      error = "cannot create folder " + prefix + ": a file of that name is in the way";
    } else {
      error = "cannot create folder " + prefix + ": " + Reason(mkdirError);
    }
    return false;
  }
  return true;
}

}  // namespace

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Create(const std::string& finalPath, std::string& error, bool folderExists) {
  Discard();
  std::string folder = ParentOf(finalPath);
  if (!folderExists && !MakeFolders(folder, error)) return false;
  std::string name = finalPath.substr(finalPath.find_last_of('/') + 1);
  std::string temp = folder + (folder == "/" ? "" : "/") + "." + (name.size() <= kLongName ? name + "." : "") +
                     "qrv-XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    int tempError = errno;
    error = "cannot create a file in " + folder + " for " + finalPath + ": " + Reason(tempError);
    return false;
  }
  m_fd = fd;
  m_tempPath = std::move(temp);
  m_finalPath = finalPath;
  return true;
}

int OutputFile::ExistingMode(const std::string& path) {
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

bool OutputFile::Commit(mode_t mode, const timespec* time, bool sync, std::string& error) {
  if (m_fd < 0) {
    error = "no file is being written for " + m_finalPath;
    return false;
  }
  auto fail = [&](const std::string& what, int code) {
    error = what + " " + m_tempPath + " (for " + m_finalPath + "): " + Reason(code);
    Discard();
    return false;
  };
  if (fchmod(m_fd, mode) != 0) return fail("cannot set the mode of", errno);
  if (time != nullptr) {
    timespec times[2] = {*time, *time};
    if (futimens(m_fd, times) != 0) return fail("cannot set the time of", errno);
  }
  if (sync && fsync(m_fd) != 0) return fail("cannot flush", errno);
  int fd = m_fd;
  m_fd = -1;
  if (close(fd) != 0) return fail("cannot close", errno);
  if (rename(m_tempPath.c_str(), m_finalPath.c_str()) != 0) {
    int renameError = errno;
    error = "cannot replace " + m_finalPath + ": " + Reason(renameError);
    Discard();
    return false;
  }
  m_tempPath.clear();
  if (sync) {
    // The rename is only durable once the folder entry is on disk.
    int dir = open(ParentOf(m_finalPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      close(dir);
    }
  }
  return true;
}

void OutputFile::Discard() {
  if (m_fd >= 0) {
    close(m_fd);
    m_fd = -1;
  }
  if (!m_tempPath.empty()) {
    unlink(m_tempPath.c_str());
    m_tempPath.clear();
  }
}

}  // namespace Cabinet
