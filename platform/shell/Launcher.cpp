#include "platform/shell/Launcher.h"

#include "platform/core/LastError.h"
#include "platform/core/ServiceSlot.h"
#include "platform/shell/XdgOpenLauncher.h"

namespace qrv::platform {
namespace {
ServiceSlot<Launcher> g_slot;
}  // namespace

bool Launcher::OpenAddress(const std::string& address) {
  LastError::Set("cannot show " + address + ": no web browser can be started here");
  return false;
}

Launcher& Launcher::Current() {
  static XdgOpenLauncher fallback;
  return g_slot.Current(fallback);
}

std::shared_ptr<Launcher> Launcher::Install(std::shared_ptr<Launcher> launcher) {
  return g_slot.Install(std::move(launcher));
}

}  // namespace qrv::platform
