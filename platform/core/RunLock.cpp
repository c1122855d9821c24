#include "platform/core/RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/core/PrivateFolder.h"
#include "platform/core/SystemRoot.h"

namespace qrv::platform {
namespace {

constexpr const char* kFolder = "var/lib/qrvupdate";
constexpr const char* kName = "run.lock";

// The pid at the start of the lock file, or 0 (the holder may not have
// written it yet, or the file holds something else).
pid_t ReadHolder(int fd) {
  char text[32] = {};
  const ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return end != text && value > 0 && value <= INT32_MAX ? static_cast<pid_t>(value) : 0;
}

}  // namespace

RunLock::~RunLock() {
  // Closing the last descriptor of the open file releases the flock.
  if (m_fd >= 0) close(m_fd);
}

std::string RunLock::Path() { return (SystemRoot::Resolve(kFolder) / kName).string(); }

RunLock::Outcome RunLock::Take() {
  if (m_fd >= 0) return Outcome::kTaken;
  m_holder = 0;
  m_error.clear();
  const std::string path = Path();
  const std::string folder = SystemRoot::Resolve(kFolder).string();
  std::string why;
  if (!PrivateFolder::Ensure(folder, why)) {
    m_error = "cannot take the run lock " + path + ": " + why;
    return Outcome::kFailed;
  }
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int err = errno;
    m_error = "cannot take the run lock " + path + ": " +
              (err == ELOOP ? std::string("a symbolic link stands in its place") : std::strerror(err));
    return Outcome::kFailed;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    m_error = "cannot take the run lock " + path + ": it is not a plain file of user " + std::to_string(geteuid());
    close(fd);
    return Outcome::kFailed;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) {
      m_holder = ReadHolder(fd);
      m_error = (m_holder > 0 ? "process " + std::to_string(m_holder) : std::string("another process")) +
                " holds the run lock " + path;
      close(fd);
      return Outcome::kBusy;
    }
    m_error = "cannot take the run lock " + path + ": " + std::strerror(err);
    close(fd);
    return Outcome::kFailed;
  }
  // The pid is only for the message a second run prints; failing to write
  // it does not make the lock any less held.
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) == 0) {
    const ssize_t written = pwrite(fd, pid.data(), pid.size(), 0);
    static_cast<void>(written);
  }
  m_fd = fd;
  return Outcome::kTaken;
}

}  // namespace qrv::platform
