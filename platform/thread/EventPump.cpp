#include "platform/thread/EventPump.h"

#include <utility>

namespace qrv::platform {
namespace {
thread_local EventPump::Hook t_hook;
}

EventPump::Hook EventPump::SetThreadHook(Hook hook) { return std::exchange(t_hook, std::move(hook)); }

void EventPump::Pump() {
  if (t_hook) t_hook();
}

}  // namespace qrv::platform
