// qrvupdate: the updater. Without options it opens the update window on the
// desktop, with --auto the automatic run (hidden, with a tray icon); with
// --console it runs a whole update in the terminal (interactive, or --auto
// for cron and systemd timers).
#include <QApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/CQUpdateBaseProcess.h"
#include "app/UpdateSchedule.h"
#include "app/remote/RemoteUpdateEngine.h"
#include "platform/core/MessageService.h"
#include "app/console/ConsoleDlgMgr.h"
#include "app/console/ConsoleMessageService.h"
#include "app/console/ConsoleStandBy.h"
#include "apply/CQUpdateTraceFile.h"
#include "apply/PendingReplacements.h"
#include "apply/SystemServices.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/DisplayText.h"
#include "platform/core/InstanceLock.h"
#include "platform/core/RunLock.h"
#include "platform/core/SystemRoot.h"
#include "platform/system/SystemRestart.h"
#include "platform/system/SystemctlRestart.h"
#include "res/CQUpdateStrings.h"
#include "res/StringIds.h"
#include "ui/CQUpdateDlgAuto.h"
#include "ui/CQUpdateDlgUser.h"
#include "ui/CQUpdateStandBy.h"
#include "ui/InstanceChannel.h"
#include "ui/MakerAddresses.h"
#include "ui/QtMessageService.h"

namespace {

constexpr const char* kHelp =
    R"(Usage: qrvupdate [--auto] [--root DIR]
       qrvupdate --console [--root DIR] [--yes] [--product KEY]...
       qrvupdate --console --auto [--root DIR]
       qrvupdate --finish-pending [--root DIR]

Update the installed Qorvane products from the update server.

Without --console the update window opens on the desktop: the products with
a newer update, their update notes, Update, Options (the settings) and the
progress of the run. It needs a display (DISPLAY or WAYLAND_DISPLAY); without
one, use --console. One window at a time per user: a second start brings the
running update window to the front, or makes the running automatic run show
where it is, and ends.

Options:
  --console      run in the terminal instead of the window
  --auto         the automatic run: only when the schedule says an update is
                 due; resumes an interrupted run. On the desktop it runs
                 hidden, with an icon in the notification area that says when
                 the update is ready; with --console it asks nothing
  --root DIR     use DIR as the system root (default: $QRVUPDATE_ROOT, else /);
                 with a root other than / no administrator rights are needed
  --yes          ask nothing: update without confirmation, stop at once on
                 Ctrl-C, and never restart (it says when a restart is needed)
  --product KEY  update only KEY and what it depends on; may be repeated
  --engine=service|local
                 where the update work runs: in the engine service
                 (qrvupdate-engine, as root, for administrators) or in this
                 process. Default: the service for a desktop user on the
                 real system, this process as root or with --root. The
                 service's socket is /run/qrvupdate/engine.socket below the
                 root, or $QRVUPDATE_ENGINE_SOCKET
  --finish-pending
                 put the files queued for the next start in place (what
                 qrvupdate-pending.service runs at boot); prints nothing on
                 success, one line per file that stays queued; exit status 1
                 when one does or another run holds the run lock
  --help         show this help
  --version      show the version

Only one run at a time per root: a second one is refused while the first
holds ROOT/var/lib/qrvupdate/run.lock. The trace of each run is appended to
ROOT/var/log/qrvupdate/QrvUpdate.txt (when run as an ordinary user with the
root /: $XDG_STATE_HOME/qrvupdate, else ~/.local/state/qrvupdate).

Exit status: 0 update completed or nothing pending (or, with --auto, not
due; the window: closed, or handed over to the running one), 1 the update failed or was cancelled, a product could not be updated,
another run is in progress or the settings store is damaged, 2 usage error,
130 interrupted.
)";


int Usage(const std::string& why) {
  std::fprintf(stderr, "qrvupdate: %s (see qrvupdate --help)\n", why.c_str());
  return 2;
}

// Where the engine runs: in this process, or in the engine service.
enum class EngineChoice { kDefault, kLocal, kService };
EngineChoice g_engineChoice = EngineChoice::kDefault;

// The engine service does the work when this process cannot: a desktop user
// on the real system. A sandbox root and root itself keep it in process.
bool UsesEngineService() {
  if (g_engineChoice != EngineChoice::kDefault) return g_engineChoice == EngineChoice::kService;
  const bool sandbox = qrv::platform::SystemRoot::Get() != std::filesystem::path("/");
  return !sandbox && geteuid() != 0;
}

// The engine service's socket: QRVUPDATE_ENGINE_SOCKET (an engine started
// by hand), else the one systemd listens on below the root.
std::string EngineSocket() {
  const char* set = std::getenv("QRVUPDATE_ENGINE_SOCKET");
  if (set != nullptr && *set != '\0') return set;
  return (qrv::platform::SystemRoot::Get() / "run/qrvupdate/engine.socket").string();
}

// Gives process the engine service's engine for a run of mode. Nothing to
// return: go on; else the exit status (a refusal shown as the message for
// non-administrators, a start handed to the run under way ends silently).
std::optional<int> ConnectEngineService(qrv::CQUpdateBaseProcess& process, uint32_t mode,
                                       qrv::remote::RemoteUpdateEngine** connected = nullptr) {
  qrv::remote::RemoteUpdateEngine::Outcome outcome{};
  std::string error;
  std::unique_ptr<qrv::remote::RemoteUpdateEngine> engine =
      qrv::remote::RemoteUpdateEngine::Connect(EngineSocket(), mode, outcome, error);
  switch (outcome) {
    case qrv::remote::RemoteUpdateEngine::Outcome::kConnected: break;
    case qrv::remote::RemoteUpdateEngine::Outcome::kRefused:
      qrv::platform::MessageService::Current().Show(qrv::kStringNotAdministrator, qrv::platform::MessageService::kOk);
      return 1;
    case qrv::remote::RemoteUpdateEngine::Outcome::kHandedOver: return 0;
    case qrv::remote::RemoteUpdateEngine::Outcome::kBusy:
      qrv::platform::MessageService::Current().ShowWith(qrv::kStringAnotherRun, error, qrv::platform::MessageService::kOk);
      return 1;
    case qrv::remote::RemoteUpdateEngine::Outcome::kFailed:
      qrv::platform::MessageService::Current().ShowWith(qrv::kStringCannotStart, error, qrv::platform::MessageService::kOk);
      return 1;
  }
  if (connected != nullptr) *connected = engine.get();
  process.SetEngine(std::move(engine));
  // A damaged store reads as empty: without this the run would report a
  // missing network or nothing to do.
  if (qrv::ConsoleDlgMgr::ReportDamagedStores()) return 1;
  return std::nullopt;
}

// The checks every run makes before it touches the root, as messages of the
// service in force; 0 to go on, else the exit status. The lock is held by
// the caller until it returns. A run through the engine service is checked
// there (who may, one run at a time, the stores).
int CheckStart(qrv::platform::RunLock& lock) {
  if (UsesEngineService()) return 0;
  // A sandbox root never touches the system, so it needs no administrator.
  const bool sandbox = qrv::platform::SystemRoot::Get() != std::filesystem::path("/");
  if (!sandbox && qrv::IsUserAdministrator() == 0) {
    qrv::platform::MessageService::Current().Show(qrv::kStringNotAdministrator, qrv::platform::MessageService::kOk);
    return 1;
  }
  // One run per root, decided before anything of the root is touched: two
  // runs would share the download folder, the files they replace and the
  // stored state. The lock lives until main returns (the kernel drops it
  // however the process ends).
  switch (lock.Take()) {
    case qrv::platform::RunLock::Outcome::kTaken: break;
    case qrv::platform::RunLock::Outcome::kBusy:
      qrv::platform::MessageService::Current().ShowWith(qrv::kStringAnotherRun, lock.Error(), qrv::platform::MessageService::kOk);
      return 1;
    case qrv::platform::RunLock::Outcome::kFailed:
      qrv::platform::MessageService::Current().ShowWith(qrv::kStringCannotStart, lock.Error(), qrv::platform::MessageService::kOk);
      return 1;
  }
  // A damaged store reads as empty: without this the run would report a
  // missing network or nothing to do, and the administrator would look in
  // the wrong place.
  if (qrv::ConsoleDlgMgr::ReportDamagedStores()) return 1;
  return 0;
}

using qrv::platform::InstanceLock;

// The request a start sends to the window that holds the mark: the
// automatic run shows its state, the interactive window comes to the front.
qrv::InstanceChannel::Request RequestFor(std::string_view mark) {
  return mark == InstanceLock::kAutomatic ? qrv::InstanceChannel::Request::kNotifyState
                                          : qrv::InstanceChannel::Request::kFront;
}

// Hands the start over to the window that holds mark, silently. No window
// answering (it has not opened its channel yet, or is ending) leaves nothing
// to do: the start ends all the same.
void HandOver(std::string_view mark) {
  QString error;
  static_cast<void>(qrv::InstanceChannel::Send(RequestFor(mark), error));
}

// Start-up of a desktop window: while another process's update window runs
// in this session, the start goes to it and ends here, before any setting,
// the trace or the display is touched (the automatic run is started at every
// log-on and must cost nothing then). True when handed over.
bool HandedOverToRunningWindow() {
  for (const std::string_view mark : {InstanceLock::kAutomatic, InstanceLock::kInteractive}) {
    std::string error;
    if (InstanceLock::IsHeldElsewhere(mark, error)) {
      HandOver(mark);
      return true;
    }
    // Cannot tell: go on; the run lock still keeps a second run off the root.
    if (!error.empty()) qrv::platform::Diagnostics::Report("qrvupdate: " + error);
  }
  return false;
}

// Brings window, and the box it shows when one is open, to the front.
void BringToFront(const QPointer<QWidget>& window) {
  if (window.isNull()) return;
  window->showNormal();
  window->raise();
  window->activateWindow();
  QWidget* popup = QApplication::activeModalWidget();
  if (popup != nullptr && popup != window.data()) {
    popup->raise();
    popup->activateWindow();
  }
}

// The run in a window on the desktop: mode 0 the interactive window, 1 the
// automatic run.
int RunWindow(int argc, char** argv, uint32_t mode) {
  if (HandedOverToRunningWindow()) return 0;
  // Most log-ons find no update due: that answer comes from the store alone,
  // before the display and the windowing library are set up (the launcher
  // asks again under the run lock). A store that cannot be read counts as
  // due, so its damage is still reported below.
  if (mode == qrv::CQUpdateBaseProcess::kModeAutomatic && !UsesEngineService() &&
      !qrv::UpdateSchedule::IsUpdateDue(true)) {
    return 0;
  }

  // The same run in the terminal: the advice names the automatic one for an
  // automatic start, so a scheduled start without a desktop can be moved as is.
  static const char* consoleCommand = nullptr;
  consoleCommand = mode == qrv::CQUpdateBaseProcess::kModeAutomatic ? "qrvupdate --console --auto" : "qrvupdate --console";
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* platform = std::getenv("QT_QPA_PLATFORM");  // e.g. offscreen, for pictures and tests
  const auto set = [](const char* value) { return value != nullptr && *value != '\0'; };
  if (!set(display) && !set(wayland) && !set(platform)) {
    std::fprintf(stderr,
                 "qrvupdate: no display to open the update window on (DISPLAY and WAYLAND_DISPLAY are not set); "
                 "run \"%s\" for an update in the terminal\n",
                 consoleCommand);
    return 2;
  }
  // A display that is named but cannot be used (gone, or not ours to use, as
  // under sudo without its authority) makes Qt give up with advice about
  // reinstalling; say what to do instead, and end as a usage error.
  const QtMessageHandler previous = qInstallMessageHandler(
      [](QtMsgType type, const QMessageLogContext& /*context*/, const QString& message) {
        if (type != QtFatalMsg) {
          std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
          return;
        }
        // Qt's own words (a reinstall) would send the user the wrong way;
        // the lines before this one name the display that failed.
        std::fprintf(stderr,
                     "qrvupdate: cannot open the update window: the display cannot be used; run "
                     "\"%s\" for an update in the terminal\n",
                     consoleCommand);
        std::fflush(stderr);
        std::_Exit(2);
      });
  QApplication application(argc, argv);
  qInstallMessageHandler(previous);
  QApplication::setApplicationName(QStringLiteral("qrvupdate"));
  QApplication::setApplicationDisplayName(QString::fromStdString(qrv::CQUpdateStrings::Get(qrv::kStringAppTitle)));
  QApplication::setDesktopFileName(QStringLiteral("qrvupdate"));

  qrv::CQUpdateTraceFile::InstallDiagnosticsSink();
  qrv::platform::MessageService::Install(std::make_shared<qrv::QtMessageService>());
#ifdef QRV_TEST_HOOKS
  // Tests run the desktop program with nobody to press OK: its boxes go to
  // standard error with their safe answers. Test builds only.
  if (std::getenv("QRVUPDATE_TEST_BOXES_TO_STDERR") != nullptr) {
    qrv::platform::MessageService::Install(std::make_shared<qrv::ConsoleMessageService>(true, stderr, nullptr));
  }
#endif
  qrv::platform::RunLock lock;
  if (const int status = CheckStart(lock); status != 0) return status;
  qrv::platform::SystemRestart::Install(std::make_unique<qrv::platform::SystemctlRestart>());

  // The window's mark and channel outlive the process object: the restart
  // question its destruction may ask still runs events.
  std::optional<InstanceLock> mark;
  qrv::InstanceChannel channel;
  auto process = std::make_unique<qrv::CQUpdateBaseProcess>();
  qrv::remote::RemoteUpdateEngine* service = nullptr;
  if (UsesEngineService()) {
    if (const std::optional<int> status = ConnectEngineService(*process, mode, &service)) return *status;
  }
  // With the engine service, a start by another user (or another session)
  // reaches this window through the service: the same requests as over the
  // session's own channel, served also while the window is at rest.
  std::unique_ptr<QSocketNotifier> serviceNotifier;
  if (service != nullptr) {
    service->SetRequestHandler([&process](bool notifyState) {
      if (auto* automatic = dynamic_cast<qrv::CQUpdateDlgAuto*>(process->DlgMgr()); automatic && notifyState) {
        automatic->ShowState();
      } else {
        BringToFront(QPointer<QWidget>(dynamic_cast<QWidget*>(process->DlgMgr())));
      }
    });
    serviceNotifier = std::make_unique<QSocketNotifier>(service->WakeFd(), QSocketNotifier::Read);
    QObject::connect(serviceNotifier.get(), &QSocketNotifier::activated, [service] { service->ServeArrived(); });
  }
  process->SetHomePage(qrv::MakerAddresses::HomePage());
  process->SetStandByFactory([] { return std::make_unique<qrv::CQUpdateStandBy>(); });
  process->SetWindowFactory([](uint32_t windowMode) -> std::unique_ptr<qrv::CQUpdateDlgMgr> {
    if (windowMode == qrv::CQUpdateBaseProcess::kModeInteractive) return std::make_unique<qrv::CQUpdateDlgUser>();
    return std::make_unique<qrv::CQUpdateDlgAuto>();
  });
  // A failed automatic download ends the run with exit status 1 through its
  // window, which closes the notification icon first.
  process->SetEndProcess([&process](int code) {
    if (auto* automatic = dynamic_cast<qrv::CQUpdateDlgAuto*>(process->DlgMgr())) {
      automatic->EndProcess(code);
    } else {
      std::exit(code);
    }
  });
  // The window takes its mark as it starts: from here on a second start is
  // handed to it. A mark taken meanwhile by another process hands this
  // start over instead; a mark that cannot be had at all (runtime folder
  // unusable) only costs the hand-over, so the window runs without it.
  process->SetWindowGate([&mark, &channel](uint32_t windowMode, qrv::CQUpdateDlgMgr& window) {
    mark.emplace(windowMode == qrv::CQUpdateBaseProcess::kModeInteractive ? InstanceLock::kInteractive
                                                                           : InstanceLock::kAutomatic);
    switch (mark->Take()) {
      case InstanceLock::Outcome::kTaken: break;
      case InstanceLock::Outcome::kBusy:
        HandOver(mark->Name());
        return false;
      case InstanceLock::Outcome::kFailed:
        qrv::platform::Diagnostics::Report("qrvupdate: " + mark->Error());
        return true;
    }
    QString error;
    if (!channel.Listen(error)) qrv::platform::Diagnostics::Report("qrvupdate: " + error.toStdString());
    QPointer<QWidget> widget = dynamic_cast<QWidget*>(&window);
    QObject::connect(&channel, &qrv::InstanceChannel::front, &channel, [widget] { BringToFront(widget); });
    if (auto* automatic = dynamic_cast<qrv::CQUpdateDlgAuto*>(&window)) {
      QObject::connect(&channel, &qrv::InstanceChannel::notifyState, automatic, [automatic] { automatic->ShowState(); });
    }
    return true;
  });
  process->Run(mode);
  const auto* automatic = dynamic_cast<const qrv::CQUpdateDlgAuto*>(process->DlgMgr());
  const int status = automatic != nullptr ? automatic->ExitCode() : 0;
  // Destruction asks the restart question when the update needs one.
  serviceNotifier.reset();
  process.reset();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  qrv::ConsoleDlgMgr::Options options;
  bool console = false;
  bool finishPending = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("qrvupdate %s\n", QRV_VERSION);
      return 0;
    }
    if (a == "--console") {
      console = true;
    } else if (a == "--engine=local" || a == "--engine=service") {
      g_engineChoice = a == "--engine=local" ? EngineChoice::kLocal : EngineChoice::kService;
    } else if (a == "--finish-pending") {
      finishPending = true;
    } else if (a == "--auto") {
      options.automatic = true;
    } else if (a == "--yes" || a == "-y") {
      options.assumeYes = true;
    } else if (a == "--root" || a == "--product") {
      if (i + 1 >= args.size()) return Usage(a + " needs a value");
      if (a != "--root") {
        options.products.push_back(args[++i]);
      } else if (!qrv::platform::SystemRoot::SetFromOption(args[++i])) {
        return Usage("--root needs a folder, not an empty value");
      }
    } else if (a.rfind("--root=", 0) == 0) {
      if (!qrv::platform::SystemRoot::SetFromOption(a.substr(7))) {
        return Usage("--root needs a folder, not an empty value");
      }
    } else if (a.rfind("--product=", 0) == 0) {
      options.products.push_back(a.substr(10));
    } else {
      return Usage("unknown argument \"" + a + "\"");
    }
  }
  // A root that does not exist (from --root or QRVUPDATE_ROOT) is a typing
  // slip, not a machine to set up.
  if (!std::filesystem::is_directory(qrv::platform::SystemRoot::Get())) {
    return Usage("the root folder " + qrv::platform::SystemRoot::Get().string() + " does not exist");
  }
  if (finishPending) {
    if (console || options.automatic || options.assumeYes || !options.products.empty()) {
      return Usage("--finish-pending takes no option but --root");
    }
    // Quiet on success: at boot only a file that stays queued is worth a line in the journal.
    const bool allDone = qrv::PendingReplacements::Finish([](std::string_view line) {
      std::fprintf(stderr, "qrvupdate: %s\n", qrv::platform::DisplayText::Escape(line).c_str());
    });
    return allDone ? 0 : 1;
  }
  if (!console) {
    if (options.assumeYes || !options.products.empty()) return Usage("--yes and --product need --console");
    return RunWindow(argc, argv, options.automatic ? qrv::CQUpdateBaseProcess::kModeAutomatic
                                                   : qrv::CQUpdateBaseProcess::kModeInteractive);
  }
  if (options.automatic && !options.products.empty()) return Usage("--product is for the interactive run only");

  qrv::CQUpdateTraceFile::InstallDiagnosticsSink();
  // The automatic run has nobody to answer: it takes the safe answers.
  const bool quiet = options.assumeYes || options.automatic;
  qrv::platform::MessageService::Install(std::make_shared<qrv::ConsoleMessageService>(quiet, stdout, stdin));
  qrv::platform::RunLock lock;
  if (const int status = CheckStart(lock); status != 0) return status;
  // Only a run that may ask gets the real restart; otherwise the recorder
  // stays, so nothing here can ever take the machine down unasked.
  if (!quiet) qrv::platform::SystemRestart::Install(std::make_unique<qrv::platform::SystemctlRestart>());
  qrv::ConsoleDlgMgr::InstallInterruptHandler();

  auto process = std::make_unique<qrv::CQUpdateBaseProcess>();
  if (UsesEngineService()) {
    const uint32_t mode =
        options.automatic ? qrv::CQUpdateBaseProcess::kModeAutomatic : qrv::CQUpdateBaseProcess::kModeInteractive;
    if (const std::optional<int> status = ConnectEngineService(*process, mode)) return *status;
  }
  process->SetHomePage(qrv::MakerAddresses::HomePage());
  if (!options.automatic) {
    process->SetStandByFactory([] { return std::make_unique<qrv::ConsoleStandBy>(stdout); });
  }
  // The terminal's window serves both modes.
  qrv::CQUpdateBaseProcess* owner = process.get();
  process->SetWindowFactory([owner, &options](uint32_t mode) -> std::unique_ptr<qrv::CQUpdateDlgMgr> {
    qrv::ConsoleDlgMgr::Options modeOptions = options;
    modeOptions.automatic = mode != qrv::CQUpdateBaseProcess::kModeInteractive;
    auto window = std::make_unique<qrv::ConsoleDlgMgr>(modeOptions, stdout, stdin);
    owner->SetEndProcess([target = window.get()](int code) { target->EndProcess(code); });
    return window;
  });

  const int status = process->Run(options.automatic ? qrv::CQUpdateBaseProcess::kModeAutomatic
                                                    : qrv::CQUpdateBaseProcess::kModeInteractive);
  if (process->LastRunOutcome() == qrv::CQUpdateBaseProcess::RunOutcome::kNotDue) {
    std::printf("%s: no update is due.\n", qrv::CQUpdateStrings::Get(qrv::kStringAppTitle).c_str());
  }
  const bool restart = process->Engine().RestartRequired() != 0;
  // Destruction asks the restart question (answered No when quiet).
  process.reset();
  if (restart && quiet) {
    std::printf("%s: a restart is needed to finish the update; files are replaced at the next start.\n",
                qrv::CQUpdateStrings::Get(qrv::kStringAppTitle).c_str());
  }
  std::fflush(stdout);
  return status;
}
