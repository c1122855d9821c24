#include "platform/shell/Launcher.h"

#include <mutex>

#include "platform/shell/XdgOpenLauncher.h"

namespace qrv::platform {
namespace {

std::mutex g_mutex;
std::shared_ptr<Launcher> g_launcher;

}  // namespace

Launcher& Launcher::Current() {
  static XdgOpenLauncher fallback;
  std::lock_guard lock(g_mutex);
  return g_launcher ? *g_launcher : fallback;
}

std::shared_ptr<Launcher> Launcher::Install(std::shared_ptr<Launcher> launcher) {
  std::lock_guard lock(g_mutex);
  std::swap(g_launcher, launcher);
  return launcher;
}

}  // namespace qrv::platform
