#include "platform/trust/Sha256Digest.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/trust/OpenSslHandles.h"

namespace qrv::platform {
std::string Sha256Digest::Hex(const unsigned char* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 15];
  }
  return text;
}

std::string Sha256Digest::OfBytes(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1) return {};
  return Hex(digest, size);
}

bool Sha256Digest::OfOpenFile(int fd, const std::string& shownPath, std::string& hex, uint64_t& size,
                              std::string& error) {
  hex.clear();
  size = 0;
  MdCtxHandle ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    error = "cannot hash " + shownPath + ": no SHA-256 context";
    return false;
  }
  std::vector<unsigned char> buffer(size_t{1} << 16);
  for (;;) {
    const ssize_t got = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(size));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = "cannot read " + shownPath + " to hash it: " + std::strerror(errno);
      return false;
    }
    if (got == 0) break;
    EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(got));
    size += static_cast<uint64_t>(got);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
    error = "cannot hash " + shownPath + ": the SHA-256 digest cannot be finished";
    return false;
  }
  hex = Hex(digest, length);
  return true;
}

bool Sha256Digest::SameHex(std::string_view text, std::string_view hex) {
  if (text.size() != 64 || hex.size() != 64) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) || c != hex[i]) return false;
  }
  return true;
}

}  // namespace qrv::platform
