#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace qrv::platform {

// Where the platform layer sends diagnostics meant for an administrator (a
// damaged store file, a file that cannot be read). By default they go to
// standard error; the program installs its trace-file writer at start-up and
// tests install a recorder.
//
// Thread: Report() may be called from any thread; the sink is called under a
// lock, one message at a time. SetSink() replaces the sink for all threads.
class Diagnostics {
 public:
  using Sink = std::function<void(std::string_view message)>;

  // Installs a sink; an empty function restores the standard-error default.
  // Returns the previous sink (empty when it was the default).
  static Sink SetSink(Sink sink);

  static void Report(std::string_view message);
};

}  // namespace qrv::platform
