#include "tests/support/AccessWatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qrv::test {
namespace {

// An access time long before any file's modification time.
constexpr time_t kLongAgo = 86400;

bool SetLongAgo(const std::filesystem::path& file) {
  const timespec times[2] = {{kLongAgo, 0}, {0, UTIME_OMIT}};
  return ::utimensat(AT_FDCWD, file.c_str(), times, 0) == 0;
}

bool AccessedSince(const std::filesystem::path& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) != 0 || st.st_atim.tv_sec != kLongAgo;
}

}  // namespace

AccessWatch::AccessWatch(std::filesystem::path file) : m_file(std::move(file)) {
  /* do reads show here? */
  const std::filesystem::path probe = m_file.parent_path() / ".access-watch-probe";
  int fd = ::open(probe.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  char byte = 'p';
  if (fd < 0 || ::write(fd, &byte, 1) != 1 || !SetLongAgo(probe) || ::pread(fd, &byte, 1, 0) != 1) {
    m_why = "cannot make the probe " + probe.string() + ": " + std::strerror(errno);
  } else if (!AccessedSince(probe)) {
    m_why = "reads do not change access times below " + m_file.parent_path().string() + " (mounted noatime?)";
  }
  if (fd >= 0) ::close(fd);
  ::unlink(probe.c_str());

  /* the watched file, accessed long ago */
  if (m_why.empty() && !SetLongAgo(m_file)) {
    m_why = "cannot set the access time of " + m_file.string() + ": " + std::strerror(errno);
  }
}

bool AccessWatch::Read() const { return !m_why.empty() || AccessedSince(m_file); }

}  // namespace qrv::test
