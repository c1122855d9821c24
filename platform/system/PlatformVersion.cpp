#include "platform/system/PlatformVersion.h"

#include <atomic>

namespace qrv::platform {
namespace {
std::atomic<int> g_override{0};
}  // namespace

int PlatformVersion::Major() {
  int major = g_override.load();
  return major != 0 ? major : kCurrentMajor;
}

void PlatformVersion::SetForTesting(int major) { g_override.store(major); }

}  // namespace qrv::platform
