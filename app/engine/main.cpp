// qrvupdate-engine: the update engine as a service. The windows run as the
// desktop user and talk to it over a Unix socket; it does the work that
// needs root (the settings store with the server password, the download
// folder, the products' folders) for callers the kernel vouches are
// administrators. systemd starts it when a window connects (socket
// activation) and it ends after a spell without windows.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "app/remote/EngineService.h"
#include "apply/CQUpdateTraceFile.h"
#include "apply/LogOnEntry.h"
#include "apply/SystemServices.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/SystemRoot.h"
#include "platform/system/SystemRestart.h"
#include "platform/system/SystemctlRestart.h"

#ifndef QRV_VERSION
#define QRV_VERSION "unknown"
#endif

namespace {

const char* const kHelp = R"(usage: qrvupdate-engine [--root DIR] [--socket PATH] [--idle-timeout MS]

The update engine service. The update windows (qrvupdate, qrvupdate --auto,
qrvupdate --console) of desktop users talk to it; it serves administrators
only (root, or members of sudo, wheel or admin), one update run at a time.
Started by systemd through its socket (qrvupdate-engine.socket), it takes
the socket systemd hands it; started by hand it listens at PATH.

  --root DIR          the system root (all the engine's stores and folders
                      below DIR; default / or $QRVUPDATE_ROOT)
  --socket PATH       where to listen when not started by systemd
                      (default ROOT/run/qrvupdate/engine.socket)
  --idle-timeout MS   end after MS milliseconds without a window (30000)
  --help, --version

Installed, it lives in /usr/libexec/qrvupdate. Try it without installing
anything, in a sandbox root:
  qrvupdate-engine --root /tmp/sandbox --socket /tmp/sandbox/engine.socket &
  QRVUPDATE_ENGINE_SOCKET=/tmp/sandbox/engine.socket \
    qrvupdate --console --root /tmp/sandbox --engine=service
)";

// Whether systemd meant to hand this process sockets (LISTEN_PID names it).
// Read before EngineService::ActivatedSocket, which clears the variables
// when it takes the socket.
bool HandedSockets() {
  const char* pid = std::getenv("LISTEN_PID");
  return pid != nullptr && std::strtol(pid, nullptr, 10) == static_cast<long>(getpid());
}

// The windows' program, which the log-on entry starts: installed, it lies in
// the bin folder (<prefix>/libexec/qrvupdate/ holds the engine); in the build
// tree, in app/qrvupdate beside app/engine; else where this build installs it.
std::string FrontEndFolder() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    for (const std::filesystem::path& candidate :
         {self.parent_path() / "../../bin", self.parent_path() / "../qrvupdate"}) {
      const std::filesystem::path folder = std::filesystem::weakly_canonical(candidate, ec);
      if (!ec && std::filesystem::is_regular_file(folder / qrv::LogOnEntry::kProgramName, ec)) return folder.string();
    }
  }
  return QRV_BINDIR;
}

int Usage(const std::string& why) {
  std::fprintf(stderr, "qrvupdate-engine: %s (see qrvupdate-engine --help)\n", why.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::string socketPath;
  long idleMs = 30000;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("qrvupdate-engine %s\n", QRV_VERSION);
      return 0;
    }
    if (a == "--root" && hasValue) {
      if (!qrv::platform::SystemRoot::SetFromOption(args[++i])) return Usage("--root needs a folder");
    } else if (a == "--socket" && hasValue) {
      socketPath = args[++i];
    } else if (a == "--idle-timeout" && hasValue) {
      char* end = nullptr;
      idleMs = std::strtol(args[++i].c_str(), &end, 10);
      if (end == nullptr || *end != '\0' || idleMs < 1 || idleMs > 86400000) {
        return Usage("--idle-timeout needs milliseconds from 1 to 86400000");
      }
    } else {
      return Usage("unknown option or missing value: " + a);
    }
  }
  const std::filesystem::path root = qrv::platform::SystemRoot::Get();
  if (!std::filesystem::is_directory(root)) return Usage("the root folder " + root.string() + " does not exist");
  const bool sandbox = root != std::filesystem::path("/");
  if (!sandbox && geteuid() != 0) {
    std::fprintf(stderr, "qrvupdate-engine: the engine service runs as root (or with --root, in a sandbox)\n");
    return 2;
  }

  qrv::CQUpdateTraceFile::InstallDiagnosticsSink();
  // A sandbox is never worth restarting the machine for: there the restart
  // the user agrees to is only recorded.
  if (!sandbox) qrv::platform::SystemRestart::Install(std::make_unique<qrv::platform::SystemctlRestart>());

  // The log-on entry the settings write names the windows' program, not this one.
  qrv::LogOnEntry::SetProgramFolder(FrontEndFolder());
  qrv::remote::EngineService service;
  const bool handed = HandedSockets();
  const char* handedCount = std::getenv("LISTEN_FDS");
  const std::string handedFds = handedCount != nullptr ? handedCount : "no";
  const int activated = qrv::remote::EngineService::ActivatedSocket();
  if (activated >= 0 && socketPath.empty()) {
    // systemd hands the socket over without close-on-exec: the programs the
    // engine runs (systemctl for the restart, the desktop folder's helper)
    // must not keep the service's socket open.
    fcntl(activated, F_SETFD, FD_CLOEXEC);
    service.Adopt(activated);
  } else if (handed && socketPath.empty()) {
    // Binding the default path here would take over systemd's socket file
    // and leave it removed when this process ends.
    std::fprintf(stderr,
                 "qrvupdate-engine: systemd handed over %s sockets (LISTEN_FDS), not one stream socket; "
                 "qrvupdate-engine.socket must listen on one stream socket\n",
                 handedFds.c_str());
    return 1;
  } else {
    // Started by systemd but told to listen elsewhere: its socket is not ours.
    if (activated >= 0) close(activated);
    if (socketPath.empty()) socketPath = (root / "run/qrvupdate/engine.socket").string();
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(socketPath).parent_path(), ec);
    std::string error;
    if (!service.Listen(socketPath, error)) {
      std::fprintf(stderr, "qrvupdate-engine: %s\n", error.c_str());
      return 1;
    }
  }
  // systemctl stop, a shutdown or a package upgrade: a download under way
  // stops, a copy runs to its end, then the engine ends.
  struct sigaction stop {};
  stop.sa_handler = [](int) { qrv::remote::EngineService::RequestStop(); };
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);
  qrv::platform::Diagnostics::Report("engine: serving" + (socketPath.empty() ? std::string(" the socket systemd handed over")
                                                                              : " at " + socketPath));
  return service.Run(std::chrono::milliseconds{idleMs});
}
