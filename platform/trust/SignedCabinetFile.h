#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/trust/AuthenticodeResult.h"

namespace qrv::platform {

// Internal to platform/trust: a cabinet file opened for its Authenticode
// signature. Open() checks the layout the signature depends on; Digest()
// then hashes the signed bytes by streaming through the file, so a cabinet
// of any size is checked in a fixed 1 MiB of memory.
//
// Signed layout: the header carries a 20-byte reserved area (flags bit
// 0x0004, cbCFHeader 20, cbCFFolder and cbCFData 0) whose bytes 4..11 give
// the signature's offset and length; the DER PKCS#7 starts at cbCabinet and
// runs to the end of the file. Every byte the digest skips must hold its one
// allowed value, so nothing unsigned can ride along in a signed file.
//
// Thread: one object per thread; move-less, closes the file on destruction.
class SignedCabinetFile {
 public:
  using Status = AuthenticodeResult::Status;

  // The most signature bytes we read into memory: a real signature with a
  // long chain and a timestamp is a few tens of KiB.
  static constexpr uint32_t kMaxSignatureLength = 4u << 20;

  SignedCabinetFile() = default;
  ~SignedCabinetFile();
  SignedCabinetFile(const SignedCabinetFile&) = delete;
  SignedCabinetFile& operator=(const SignedCabinetFile&) = delete;

  // Opens `path` and checks the header. kAccepted when the layout is that of
  // a signed cabinet; otherwise kUnreadable, kNotCabinet, kNotSigned or
  // kMalformed with the reason (path and values) in `reason`.
  Status Open(const std::string& path, std::string& reason);

  // The same for a file the caller has open: works on a duplicate of `fd`
  // (the caller keeps its own) and reads only with pread, so the caller's
  // file offset is never moved. `shownPath` names the file in reasons.
  Status OpenDescriptor(int fd, const std::string& shownPath, std::string& reason);

  // Hashes, with `md`, the bytes the Authenticode digest of a cabinet
  // covers: 0..3, 8..33 and 56 up to the signature. False with the reason
  // when the file cannot be read to the end (it shrank, an I/O error).
  bool Digest(const EVP_MD* md, std::vector<uint8_t>& out, std::string& reason) const;

  // The signature area: the bytes from the signature offset to the end of
  // the file (the DER PKCS#7 plus any padding).
  bool ReadSignature(std::vector<uint8_t>& out, std::string& reason) const;

  uint32_t SignatureOffset() const { return m_signatureOffset; }
  uint32_t SignatureLength() const { return m_signatureLength; }

 private:
  bool ReadAt(uint64_t offset, void* buffer, size_t size, std::string& reason) const;
  // The layout checks of Open(), on m_fd.
  Status CheckLayout(std::string& reason);

  int m_fd = -1;
  std::string m_path;
  uint64_t m_size = 0;
  uint32_t m_signatureOffset = 0;
  uint32_t m_signatureLength = 0;
};

}  // namespace qrv::platform
