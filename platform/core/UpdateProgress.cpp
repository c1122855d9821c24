#include "platform/core/UpdateProgress.h"

#include "platform/core/ServiceSlot.h"

namespace qrv::platform {
namespace {
ServiceSlot<UpdateProgress> g_slot;
}  // namespace

UpdateProgress& UpdateProgress::Current() {
  static UpdateProgress silent;
  return g_slot.Current(silent);
}

std::shared_ptr<UpdateProgress> UpdateProgress::Install(std::shared_ptr<UpdateProgress> progress) {
  return g_slot.Install(std::move(progress));
}

}  // namespace qrv::platform
