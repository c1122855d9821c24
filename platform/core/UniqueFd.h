#pragma once

#include <unistd.h>

namespace qrv::platform {

// Owns one file descriptor and closes it when it goes out of scope, so
// every early return of a walk through folders closes what it opened.
// -1 stands for none.
//
// Thread: one owner; not copyable.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : m_fd(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return m_fd; }
  // Closes the descriptor held (if any) and takes fd.
  void Reset(int fd = -1) {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd;
};

}  // namespace qrv::platform
