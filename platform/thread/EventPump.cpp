#include "platform/thread/EventPump.h"

#include <utility>

namespace qrv::platform {
namespace {
constexpr std::chrono::milliseconds kDefaultInterval{100};
thread_local EventPump::Hook t_hook;
thread_local std::chrono::milliseconds t_interval = kDefaultInterval;
}  // namespace

EventPump::Hook EventPump::SetThreadHook(Hook hook) { return std::exchange(t_hook, std::move(hook)); }

void EventPump::Pump() {
  if (t_hook) t_hook();
}

void EventPump::SetThreadInterval(std::chrono::milliseconds interval) {
  t_interval = interval.count() > 0 ? interval : kDefaultInterval;
}

std::chrono::milliseconds EventPump::ThreadInterval() { return t_interval; }

}  // namespace qrv::platform
