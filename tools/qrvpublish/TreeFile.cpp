#include "tools/qrvpublish/TreeFile.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace qrv::tools {

namespace {

using MdContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

std::string Hex(const unsigned char* bytes, unsigned int size) {
  static const char* kDigits = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

}  // namespace

bool TreeFile::Write(const std::filesystem::path& path, std::string_view bytes, std::string& error) {
  const std::filesystem::path temporary = path.parent_path() / ("." + path.filename().string() + ".part");
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    error = "cannot write " + temporary.string() + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  int failure = 0;
  while (done < bytes.size() && failure == 0) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failure = errno;
    else done += static_cast<size_t>(n);
  }
  if (failure == 0 && fsync(fd) != 0) failure = errno;
  if (close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) failure = errno;
  if (failure != 0) {
    unlink(temporary.c_str());
    error = "cannot write " + path.string() + ": " + std::strerror(failure);
    return false;
  }
  return true;
}

bool TreeFile::Measure(const std::filesystem::path& path, uint64_t& size, std::string& sha256, std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  MdContext context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
  std::vector<char> buffer(1 << 16);
  size = 0;
  int failure = 0;
  while (ok) {
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failure = errno;
    if (n <= 0) break;
    size += static_cast<uint64_t>(n);
    ok = EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(n)) == 1;
  }
  close(fd);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (failure != 0 || !ok || EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
    error = "cannot read " + path.string() + ": " + (failure != 0 ? std::strerror(failure) : "SHA-256 failed");
    return false;
  }
  sha256 = Hex(digest, length);
  return true;
}

std::string TreeFile::Sha256(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
  return Hex(digest, length);
}

}  // namespace qrv::tools
