// A second process for the store's concurrency tests: writes COUNT values
// named PREFIX0.. into KEY under HKLM of the system root ROOT, each write its
// own transaction, and exits non-zero on the first failure.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/core/LastError.h"
#include "platform/core/SystemRoot.h"
#include "platform/registry/RegistryKey.h"

int main(int argc, char** argv) {
  using namespace qrv::platform;
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s ROOT KEY PREFIX COUNT\n", argv[0]);
    return 2;
  }
  SystemRoot::Set(argv[1]);
  int count = std::atoi(argv[4]);
  for (int i = 0; i < count; ++i) {
    RegistryKey key;
    RegStatus s = RegistryKey::Create(kRootLocalMachine, argv[2], key);
    if (s == RegStatus::kOk) s = key.SetDword(std::string(argv[3]) + std::to_string(i), static_cast<uint32_t>(i));
    if (s != RegStatus::kOk) {
      std::fprintf(stderr, "write %d failed: %s\n", i, LastError::Text().c_str());
      return 1;
    }
  }
  return 0;
}
