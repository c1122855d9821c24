#include "platform/net/LocalFileSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/core/ProcessUmask.h"

namespace qrv::platform {
namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

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
  if (IsOpen()) return true;
  if (m_path.empty() || m_path.back() == '/') {
    m_error = "cannot create " + Quoted(m_path) + ": the name is not a file name";
    return false;
  }
  if (m_mode == Mode::kViaTempFile) {
    if (!m_temp.Begin(m_path, m_error)) return false;
  } else {
    // Delete first, as the file is to be created anew: a symbolic link or a
    // hard link at the target is replaced, never written through.
    int unlinkError = 0;
    if (::unlink(m_path.c_str()) != 0 && errno != ENOENT) unlinkError = errno;
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (m_fd < 0) {
      int code = errno;
      m_openedPath.clear();
      if (unlinkError != 0) return Fail("cannot replace " + Quoted(m_path), unlinkError);
      return Fail("cannot create " + Quoted(m_path), code);
    }
    m_openedPath = m_path;
  }
  m_written = 0;
  m_overCap = false;
  m_finished = false;
  return true;
}

bool LocalFileSink::Write(const char* data, size_t size) {
  if (!IsOpen()) {
    m_error = "cannot write " + Quoted(m_path) + ": the file is not open";
    return false;
  }
  if (size > m_maxBytes - m_written) {
    m_overCap = true;
    m_error = "the file for " + Quoted(m_path) + " is larger than the limit of " + std::to_string(m_maxBytes) +
              " bytes";
    return false;
  }
  if (m_mode == Mode::kViaTempFile) {
    if (!m_temp.Write(std::string_view(data, size), m_error)) return false;
  } else {
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
  }
  m_written += size;
  return true;
}

bool LocalFileSink::Commit() {
  if (!IsOpen()) {
    m_error = "cannot finish " + Quoted(m_path) + ": the file is not open";
    return false;
  }
  m_finished = true;
  if (m_mode == Mode::kViaTempFile) {
    // what a plain create would have given it; not flushed: whoever needs
    // the downloads after a power cut flushes them once, all together
    AtomicFileWriter::Finish finish;
    finish.mode = 0666 & ~ProcessUmask::Get();
    return m_temp.Commit(finish, m_error);
  }
  int fd = m_fd;
  m_fd = -1;
  if (::close(fd) != 0) return Fail("cannot write " + Quoted(m_openedPath), errno);
  return true;
}

void LocalFileSink::Abandon() {
  m_temp.Discard();
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
  // what arrived in place stays, unless it is over the cap
  if (!m_finished && !m_openedPath.empty() && m_overCap) ::unlink(m_openedPath.c_str());
  m_finished = true;
}

void LocalFileSink::Discard() {
  m_temp.Discard();
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
  if (!m_finished && !m_openedPath.empty()) ::unlink(m_openedPath.c_str());
  m_finished = true;
}

}  // namespace qrv::platform
