#include "platform/trust/SignedCabinetFile.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qrv::platform {
namespace {

// CFHEADER fields (little-endian) and flags.
constexpr size_t kHeaderFixed = 36;     // up to and including iCabinet
constexpr size_t kHeaderReserved = 60;  // with the 4 size bytes and the 20 reserved ones
constexpr uint16_t kPrevCabinet = 0x0001;
constexpr uint16_t kNextCabinet = 0x0002;
constexpr uint16_t kReservePresent = 0x0004;
constexpr size_t kMaxName = 256;  // szCabinetNext / szDiskNext with their NUL
constexpr size_t kChunk = 1u << 20;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string Hex32(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", v);
  return text;
}

}  // namespace

SignedCabinetFile::~SignedCabinetFile() {
  if (m_fd >= 0) close(m_fd);
}

bool SignedCabinetFile::ReadAt(uint64_t offset, void* buffer, size_t size, std::string& reason) const {
  auto* p = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t got = pread(m_fd, p, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      reason = "cannot read " + m_path + " at offset " + std::to_string(offset) + ": " + std::strerror(errno);
      return false;
    }
    if (got == 0) {
      reason = m_path + " ended at offset " + std::to_string(offset) + " while being checked (the file shrank)";
      return false;
    }
    p += got;
    offset += static_cast<uint64_t>(got);
    size -= static_cast<size_t>(got);
  }
  return true;
}

SignedCabinetFile::Status SignedCabinetFile::Open(const std::string& path, std::string& reason) {
  m_path = path;
  // O_NONBLOCK only keeps a FIFO from hanging the open; it is refused below.
  m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (m_fd < 0) {
    reason = "cannot open " + path + ": " + std::strerror(errno);
    return Status::kUnreadable;
  }
  return CheckLayout(reason);
}

SignedCabinetFile::Status SignedCabinetFile::OpenDescriptor(int fd, const std::string& shownPath,
                                                            std::string& reason) {
  m_path = shownPath;
  // A duplicate shares the open file (what the caller reads next is what was
  // checked here) but lets the destructor close it like its own.
  m_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (m_fd < 0) {
    reason = "cannot use the open file " + shownPath + ": " + std::strerror(errno);
    return Status::kUnreadable;
  }
  return CheckLayout(reason);
}

SignedCabinetFile::Status SignedCabinetFile::CheckLayout(std::string& reason) {
  const std::string& path = m_path;
  struct stat st {};
  if (fstat(m_fd, &st) != 0) {
    reason = "cannot examine " + path + ": " + std::strerror(errno);
    return Status::kUnreadable;
  }
  if (!S_ISREG(st.st_mode)) {
    reason = path + " is not a regular file";
    return Status::kUnreadable;
  }
  m_size = static_cast<uint64_t>(st.st_size);
  posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  /* fixed header, the reserved area and room for the two set names */
  uint8_t h[kHeaderReserved + 2 * kMaxName] = {};
  const size_t have = static_cast<size_t>(std::min<uint64_t>(m_size, sizeof h));
  if (!ReadAt(0, h, have, reason)) return Status::kUnreadable;
  if (have < 4 || std::memcmp(h, "MSCF", 4) != 0) {
    reason = path + " is not a cabinet (no MSCF signature); no signature format is known for it";
    return Status::kNotCabinet;
  }
  if (have < kHeaderFixed) {
    reason = path + ": cabinet header cut short at " + std::to_string(have) + " bytes";
    return Status::kMalformed;
  }
  const uint32_t cbCabinet = U32(h + 8);
  const uint32_t coffFiles = U32(h + 16);
  const uint16_t cFolders = U16(h + 26);
  const uint16_t flags = U16(h + 30);
  const uint16_t iCabinet = U16(h + 34);
  if (flags & kPrevCabinet) {
    reason = path + ": cabinet continues an earlier one (flags 0x" + Hex32(flags).substr(6) +
             "); only the first cabinet of a set can carry a signature";
    return Status::kMalformed;
  }
  if (!(flags & kReservePresent)) {
    reason = path + ": cabinet is not signed (no reserved header area)";
    return Status::kNotSigned;
  }
  if (have < kHeaderReserved) {
    reason = path + ": cabinet header cut short at " + std::to_string(have) + " bytes";
    return Status::kMalformed;
  }
  /* the reserved area must be the signature's: 20 bytes, none per folder or block */
  if (U32(h + 36) != 0x00000014u || U32(h + 40) != 0x00100000u) {
    reason = path + ": cabinet is not signed (its reserved area holds " + Hex32(U32(h + 36)) + " " +
             Hex32(U32(h + 40)) + ", not a signature's 0x00000014 0x00100000)";
    return Status::kNotSigned;
  }
  m_signatureOffset = U32(h + 44);
  m_signatureLength = U32(h + 48);
  if (m_signatureOffset == 0 || m_signatureLength == 0) {
    reason = path + ": cabinet is not signed (empty signature entry)";
    return Status::kNotSigned;
  }
  /* bytes the digest skips must hold their only allowed value */
  if (U32(h + 4) != 0) {
    reason = path + ": header bytes 4..7 hold " + Hex32(U32(h + 4)) +
             " but must be 0 in a signed cabinet (the signature does not cover them)";
    return Status::kMalformed;
  }
  if (iCabinet != 0) {
    reason = path + ": cabinet number " + std::to_string(iCabinet) +
             " in its set must be 0 in a signed cabinet (the signature does not cover it)";
    return Status::kMalformed;
  }
  if (U32(h + 52) != 0) {
    reason = path + ": reserved bytes 52..55 hold " + Hex32(U32(h + 52)) +
             " but must be 0 (the signature does not cover them)";
    return Status::kMalformed;
  }
  /* the signature sits right after the cabinet and ends the file */
  if (m_signatureOffset != cbCabinet) {
    reason = path + ": signature offset " + std::to_string(m_signatureOffset) + " differs from the cabinet length " +
             std::to_string(cbCabinet);
    return Status::kMalformed;
  }
  if (m_signatureLength > kMaxSignatureLength) {
    reason = path + ": signature length " + std::to_string(m_signatureLength) + " exceeds the limit of " +
             std::to_string(kMaxSignatureLength) + " bytes";
    return Status::kMalformed;
  }
  const uint64_t end = uint64_t{m_signatureOffset} + m_signatureLength;
  if (end > m_size) {
    reason = path + ": file cut short: the signature at offset " + std::to_string(m_signatureOffset) + " of " +
             std::to_string(m_signatureLength) + " bytes needs " + std::to_string(end) + " bytes, the file has " +
             std::to_string(m_size);
    return Status::kMalformed;
  }
  if (end < m_size) {
    reason = path + ": " + std::to_string(m_size - end) + " bytes follow the signature (it ends at offset " +
             std::to_string(end) + ", the file has " + std::to_string(m_size) + ")";
    return Status::kMalformed;
  }
  /* set names (only "next" ones, "previous" was refused), then the folder table */
  size_t pos = kHeaderReserved;
  if (flags & kNextCabinet) {
    for (int name = 0; name < 2; ++name) {
      const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(h + pos, 0, std::min(kMaxName, have - pos)));
      if (nul == nullptr) {
        reason = path + ": unterminated next-cabinet name at offset " + std::to_string(pos);
        return Status::kMalformed;
      }
      pos = static_cast<size_t>(nul - h) + 1;
    }
  }
  const uint64_t foldersEnd = pos + uint64_t{cFolders} * 8;
  if (foldersEnd != coffFiles || coffFiles > m_signatureOffset) {
    reason = path + ": file table offset " + std::to_string(coffFiles) + " does not follow the " +
             std::to_string(cFolders) + " folder entries ending at " + std::to_string(foldersEnd) +
             " inside the cabinet of " + std::to_string(cbCabinet) + " bytes";
    return Status::kMalformed;
  }
  return Status::kAccepted;
}

bool SignedCabinetFile::Digest(const EVP_MD* md, std::vector<uint8_t>& out, std::string& reason) const {
  out.clear();
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr || EVP_DigestInit_ex(ctx, md, nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    reason = "cannot start a " + std::string(EVP_MD_get0_name(md)) + " digest";
    return false;
  }
  // no larger than the cabinet: clearing a megabyte for a file of a few
  // kilobytes cost more than hashing it
  std::vector<uint8_t> buffer(static_cast<size_t>(std::clamp<uint64_t>(m_signatureOffset, 56, kChunk)));
  bool ok = ReadAt(0, buffer.data(), 56, reason);
  /* MSCF, then cbCabinet .. setID; reserved1 and iCabinet .. signature entry skipped */
  ok = ok && EVP_DigestUpdate(ctx, buffer.data(), 4) == 1 && EVP_DigestUpdate(ctx, buffer.data() + 8, 26) == 1;
  for (uint64_t at = 56; ok && at < m_signatureOffset;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, m_signatureOffset - at));
    ok = ReadAt(at, buffer.data(), n, reason) && EVP_DigestUpdate(ctx, buffer.data(), n) == 1;
    at += n;
  }
  unsigned int size = 0;
  if (ok) {
    out.resize(EVP_MAX_MD_SIZE);
    ok = EVP_DigestFinal_ex(ctx, out.data(), &size) == 1;
    out.resize(ok ? size : 0);
  }
  EVP_MD_CTX_free(ctx);
  if (!ok && reason.empty()) reason = "digest of " + m_path + " failed";
  return ok;
}

bool SignedCabinetFile::ReadSignature(std::vector<uint8_t>& out, std::string& reason) const {
  out.resize(m_signatureLength);
  return ReadAt(m_signatureOffset, out.data(), out.size(), reason);
}

}  // namespace qrv::platform
