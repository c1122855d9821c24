#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>

#include "platform/shell/Launcher.h"

namespace qrv::platform {

// Opens files by starting `xdg-open FILE` (or another opener program taking
// the same single argument): an argument vector handed to posix_spawn, never a
// shell, so no character of a path is ever interpreted. The child runs in the
// file's folder, in a session of its own (closing the updater's terminal does
// not take it down), with standard input from /dev/null. The updater does not
// wait for it: a detached thread reaps it when it ends, so no zombie stays.
//
// Thread: any.
class XdgOpenLauncher : public Launcher {
 public:
  // program: searched in $PATH unless it holds a '/'.
  explicit XdgOpenLauncher(std::string program = "xdg-open");

  bool Open(const std::string& file, const std::string& folder) override;
  // The address goes to the opener as it is, from the root folder; only
  // http:// and https:// addresses without spaces or control characters
  // are started, so nothing can pass for an option or a local file.
  bool OpenAddress(const std::string& address) override;

  // The process id of the last child started by this launcher (0 before any);
  // for callers that log it, and tests.
  pid_t LastChild() const { return m_lastChild.load(); }

 private:
  // Starts the opener with argument in folder (none: ours); what names the
  // request in the error.
  bool Spawn(const std::string& argument, const std::string& folder, const std::string& what);

  std::string m_program;
  std::atomic<pid_t> m_lastChild{0};
};

}  // namespace qrv::platform
