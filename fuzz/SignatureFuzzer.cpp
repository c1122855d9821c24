// Fuzz target: any bytes, as a file, through the cabinet signature check.
// The verifier reads from a path, so each input is written to a private
// temporary file first; the system bundle is the only trust anchor.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/core/TempFolder.h"
#include "platform/trust/AuthenticodeResult.h"
#include "platform/trust/AuthenticodeVerifier.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = qrv::platform::TempFolder::Get() + "qrv-fuzz-signature-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  if (done == size) {
    qrv::platform::AuthenticodeResult result;
    qrv::platform::AuthenticodeVerifier::Verify(path, {}, result);
    // a refusal must always say why
    if (!result.Accepted() && result.reason.empty()) abort();
  }
  unlink(path.c_str());
  return 0;
}
