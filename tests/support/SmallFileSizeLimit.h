#pragma once

#include <signal.h>
#include <sys/resource.h>

namespace qrv::test {

// Makes writes beyond 4 KiB fail (EFBIG, SIGXFSZ ignored) for the life of
// the object, whoever runs the test, root included: a disk that fills up
// half-way. The old limit and signal action come back at the end of the
// scope, also when an assertion leaves it early.
//
// Thread: the test's main thread; the limit holds for the whole process.
class SmallFileSizeLimit {
 public:
  SmallFileSizeLimit() {
    ::getrlimit(RLIMIT_FSIZE, &m_old);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &m_oldAction);
    struct rlimit small = m_old;
    small.rlim_cur = 4096;
    ::setrlimit(RLIMIT_FSIZE, &small);
  }
  ~SmallFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &m_old);
    ::sigaction(SIGXFSZ, &m_oldAction, nullptr);
  }
  SmallFileSizeLimit(const SmallFileSizeLimit&) = delete;
  SmallFileSizeLimit& operator=(const SmallFileSizeLimit&) = delete;

 private:
  struct rlimit m_old {};
  struct sigaction m_oldAction {};
};

}  // namespace qrv::test
