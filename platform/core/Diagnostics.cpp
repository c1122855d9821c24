#include "platform/core/Diagnostics.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "platform/core/DisplayText.h"

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
  // Messages carry names from servers and files; a terminal must never
  // see their control characters raw.
  const std::string shown = DisplayText::Escape(message);
  std::fprintf(stderr, "qrvupdate: %s\n", shown.c_str());
}

}  // namespace qrv::platform
