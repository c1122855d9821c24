#include "platform/core/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/core/PrivateFolder.h"
#include "platform/core/SystemRoot.h"
#include "platform/core/TempFolder.h"

namespace qrv::platform {
namespace {

std::string FolderPath() {
  const std::string uid = std::to_string(geteuid());
  if (SystemRoot::Get() != std::filesystem::path("/")) {
    return SystemRoot::Resolve("run/user/" + uid + "/qrvupdate").string();
  }
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
    return std::string(runtime) + "/qrvupdate";
  }
  return TempFolder::Get() + "qrvupdate-" + uid;
}

// Opens the mark's file without following a link, and without waiting on a
// FIFO put in its place; -1 with error set. A file that is not a plain file
// of ours is refused: someone else's file could be held by them for ever.
int OpenMark(const std::string& path, bool create, std::string& error) {
  const int flags = (create ? O_RDWR | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  const int fd = open(path.c_str(), flags, 0600);
  if (fd < 0) {
    const int err = errno;
    if (err != ENOENT || create) {
      error = "cannot open " + path + ": " +
              (err == ELOOP ? std::string("a symbolic link stands in its place") : std::strerror(err));
    }
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    error = "cannot use " + path + ": it is not a plain file of user " + std::to_string(geteuid());
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

InstanceLock::InstanceLock(std::string_view name) : m_name(name) {}

InstanceLock::~InstanceLock() {
  // Closing the last descriptor of the open file releases the flock.
  if (m_fd >= 0) close(m_fd);
}

bool InstanceLock::RuntimeFolder(std::string& folder, std::string& error) {
  folder = FolderPath();
  std::string why;
  if (!PrivateFolder::Ensure(folder, why)) {
    error = "cannot use the runtime folder " + folder + ": " + why;
    return false;
  }
  return true;
}

std::string InstanceLock::Path(std::string_view name) { return FolderPath() + "/" + std::string(name) + ".lock"; }

InstanceLock::Outcome InstanceLock::Take() {
  if (m_fd >= 0) return Outcome::kTaken;
  m_error.clear();
  std::string folder;
  if (!RuntimeFolder(folder, m_error)) return Outcome::kFailed;
  const std::string path = Path(m_name);
  const int fd = OpenMark(path, true, m_error);
  if (fd < 0) return Outcome::kFailed;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLookGraceMs);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EINTR) continue;
    if (err != EWOULDBLOCK) {
      m_error = "cannot lock " + path + ": " + std::strerror(err);
      close(fd);
      return Outcome::kFailed;
    }
    // A process that only looks holds a shared lock for a moment; a holder
    // of the mark keeps it for its whole run.
    if (std::chrono::steady_clock::now() >= deadline) {
      m_error = "another process holds " + path;
      close(fd);
      return Outcome::kBusy;
    }
    const timespec pause{0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  m_fd = fd;
  return Outcome::kTaken;
}

bool InstanceLock::IsHeldElsewhere(std::string_view name, std::string& error) {
  error.clear();
  const std::string path = Path(name);
  const int fd = OpenMark(path, false, error);
  if (fd < 0) return false;  // no file: nobody ever held it since the folder was made
  int result = 0;
  do {
    result = flock(fd, LOCK_SH | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  const int err = errno;
  if (result == 0) {
    flock(fd, LOCK_UN);
    close(fd);
    return false;
  }
  close(fd);
  if (err == EWOULDBLOCK) return true;
  error = "cannot look at " + path + ": " + std::strerror(err);
  return false;
}

}  // namespace qrv::platform
