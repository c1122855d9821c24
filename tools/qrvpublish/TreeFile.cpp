#include "tools/qrvpublish/TreeFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/core/AtomicFileWriter.h"
#include "platform/trust/Sha256Digest.h"

namespace qrv::tools {

bool TreeFile::Write(const std::filesystem::path& path, std::string_view bytes, std::string& error) {
  // Every reader of a published tree (the web server's user) must read it,
  // whatever the publisher's umask.
  return platform::AtomicFileWriter::Replace(path.string(), bytes, 0644, error);
}

bool TreeFile::Measure(const std::filesystem::path& path, uint64_t& size, std::string& sha256, std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  const bool measured = platform::Sha256Digest::OfOpenFile(fd, path.string(), sha256, size, error);
  close(fd);
  return measured;
}

std::string TreeFile::Sha256(std::string_view bytes) { return platform::Sha256Digest::OfBytes(bytes); }

}  // namespace qrv::tools
