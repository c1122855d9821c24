#include "platform/net/LocalFileSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace qrv::platform {
namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// A name for the temporary file beside path: hidden, recognisably ours, and
// short enough for NAME_MAX whatever the target's length.
std::string TempNameBeside(const std::string& path, uint32_t attempt) {
  static std::atomic<uint32_t> counter{0};
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return folder + "." + base.substr(0, 100) + ".part-" + std::to_string(getpid()) + "-" +
         std::to_string(counter.fetch_add(1) + attempt);
}

}  // namespace

LocalFileSink::LocalFileSink(std::string path, Mode mode, uint64_t maxBytes)
    : m_path(std::move(path)), m_mode(mode), m_maxBytes(maxBytes) {}

LocalFileSink::~LocalFileSink() {
  if (!m_finished) Abandon();
}

bool LocalFileSink::Fail(const std::string& what, int code) {
  m_error = what + ": " + std::strerror(code);
  return false;
}

bool LocalFileSink::Open() {
  if (m_fd >= 0) return true;
  if (m_path.empty() || m_path.back() == '/') {
    m_error = "cannot create " + Quoted(m_path) + ": the name is not a file name";
    return false;
  }
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  if (m_mode == Mode::kReplaceInPlace) {
    // Delete first, as the file is to be created anew: a symbolic link or a
    // hard link at the target is replaced, never written through.
    int unlinkError = 0;
    if (::unlink(m_path.c_str()) != 0 && errno != ENOENT) unlinkError = errno;
    m_fd = ::open(m_path.c_str(), kFlags, 0666);
    if (m_fd < 0) {
      int code = errno;
      m_openedPath.clear();
      if (unlinkError != 0) return Fail("cannot replace " + Quoted(m_path), unlinkError);
      return Fail("cannot create " + Quoted(m_path), code);
    }
    m_openedPath = m_path;
  } else {
    int code = 0;
    for (uint32_t attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
      m_openedPath = TempNameBeside(m_path, attempt);
      m_fd = ::open(m_openedPath.c_str(), kFlags, 0666);
      code = m_fd < 0 ? errno : 0;
      if (m_fd < 0 && code != EEXIST) break;
    }
    if (m_fd < 0) {
      std::string temp = m_openedPath;
      m_openedPath.clear();  // nothing of ours to remove
      return Fail("cannot create a temporary file " + Quoted(temp) + " for " + Quoted(m_path), code);
    }
  }
  m_written = 0;
  m_overCap = false;
  m_finished = false;
  return true;
}

bool LocalFileSink::Write(const char* data, size_t size) {
  if (m_fd < 0) {
    m_error = "cannot write " + Quoted(m_path) + ": the file is not open";
    return false;
  }
  if (size > m_maxBytes - m_written) {
    m_overCap = true;
    m_error = "the file for " + Quoted(m_path) + " is larger than the limit of " + std::to_string(m_maxBytes) +
              " bytes";
    return false;
  }
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(m_fd, data + done, size - done);
    if (n < 0) {
      int code = errno;
      if (code == EINTR) continue;
      return Fail("cannot write " + Quoted(m_openedPath), code);
    }
    done += static_cast<size_t>(n);
  }
  m_written += size;
  return true;
}

bool LocalFileSink::Commit() {
  if (m_fd < 0) {
    m_error = "cannot finish " + Quoted(m_path) + ": the file is not open";
    return false;
  }
  int fd = m_fd;
  m_fd = -1;
  if (::close(fd) != 0) {
    int code = errno;
    Abandon();
    return Fail("cannot write " + Quoted(m_openedPath), code);
  }
  if (m_mode == Mode::kViaTempFile && ::rename(m_openedPath.c_str(), m_path.c_str()) != 0) {
    int code = errno;
    ::unlink(m_openedPath.c_str());
    m_finished = true;
    return Fail("cannot replace " + Quoted(m_path) + " with " + Quoted(m_openedPath), code);
  }
  m_finished = true;
  return true;
}

void LocalFileSink::Abandon() {
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
  if (!m_finished && !m_openedPath.empty() && (m_mode == Mode::kViaTempFile || m_overCap)) {
    ::unlink(m_openedPath.c_str());
  }
  m_finished = true;
}

void LocalFileSink::Discard() {
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
  if (!m_finished && !m_openedPath.empty()) ::unlink(m_openedPath.c_str());
  m_finished = true;
}

}  // namespace qrv::platform
