#include "platform/system/SystemRestart.h"

#include <mutex>
#include <utility>

#include "platform/system/RestartRecorder.h"

namespace qrv::platform {
namespace {
std::mutex g_mutex;
std::unique_ptr<SystemRestart> g_restart;  // null until first use: a recorder then
}  // namespace

std::unique_ptr<SystemRestart> SystemRestart::Install(std::unique_ptr<SystemRestart> restart) {
  std::lock_guard lock(g_mutex);
  if (!restart) restart = std::make_unique<RestartRecorder>();
  return std::exchange(g_restart, std::move(restart));
}

bool SystemRestart::RestartNow() {
  std::lock_guard lock(g_mutex);
  if (!g_restart) g_restart = std::make_unique<RestartRecorder>();
  return g_restart->Restart();
}

}  // namespace qrv::platform
