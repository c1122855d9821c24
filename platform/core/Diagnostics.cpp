#include "platform/core/Diagnostics.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace qrv::platform {
namespace {
std::mutex g_mutex;
Diagnostics::Sink g_sink;
}  // namespace

Diagnostics::Sink Diagnostics::SetSink(Sink sink) {
  std::lock_guard lock(g_mutex);
  return std::exchange(g_sink, std::move(sink));
}

void Diagnostics::Report(std::string_view message) {
  std::lock_guard lock(g_mutex);
  if (g_sink) {
    g_sink(message);
    return;
  }
  std::fprintf(stderr, "qrvupdate: %.*s\n", static_cast<int>(message.size()), message.data());
}

}  // namespace qrv::platform
