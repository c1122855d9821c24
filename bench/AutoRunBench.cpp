// The automatic run on the desktop (qrvupdate --auto: the hidden window with
// an icon in the notification area, CQUpdateDlgAuto), run by hand on a
// Release build:
//   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DQRV_BUILD_TESTS=OFF -DQRV_BUILD_BENCH=ON
//   cmake --build build/rel --target qrv_bench_auto_run
//   build/rel/bench/qrv_bench_auto_run bench/RunBench.sh [STARTS]
//
// (1) The start at log-on when no update is due (automatic on, checked
//     today, no interrupted run): the real program of the same build,
//     qrvupdate --root ROOT --auto on the offscreen platform with no session
//     bus, from the spawn to its exit, against /bin/true spawned the same
//     way, alternating, STARTS (default 20) times each after one start of
//     each not timed; prints the medians and their ratio. Each start must
//     end with status 0 and leave the stored state and date as they were.
//     Beside it, in this process: the same not-due start through
//     CQUpdateBaseProcess::Run with the program's window factory, to show
//     what it makes (whether the factory ran, platform windows, tray icon);
//     and qrvupdate --version spawned the same way, which ends at the top
//     of main: the cost of loading the program's shared libraries alone.
// (2) Peak resident memory (VmHWM) of a whole automatic run through
//     RunBench.sh's 60 MiB of signed cabinets (three products) on the
//     offscreen platform, where there is no notification area, so the run
//     goes on in its window by itself. First the real program: a Release
//     build cannot answer the box that ends the copy ("Update finished.",
//     before the finalize), so its VmHWM is read from /proc while it waits
//     there (unpacked, no CPU used for 3 s) and it is killed; a build that
//     answers its boxes ends by itself and is read through wait4. Then the whole run to its end in this process,
//     the window driven as the program drives it (Run(1) through the same
//     window factory, no window gate) with every box answered OK; its
//     baseline is this process with the QApplication up and no window
//     (the not-due dialog of (1) made and gone).
//
// QRV_BENCH_EXPLAIN=1 adds, for (1), the plugins the real program's start
// loads (QT_DEBUG_PLUGINS=1) and the shared objects the loader maps before
// main (LD_TRACE_LOADED_OBJECTS=1).
//
// The loopback server runs in a child process, so the memory measured is
// the run's alone. Works in a fresh folder below /tmp, which is also the
// system root (so the registry store is private), and removes it afterwards
// (QRV_BENCH_KEEP=1 keeps it, the root not due, for perf or strace).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QWindow>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/CQUpdateBaseProcess.h"
#include "app/CQUpdateUtilTime.h"
#include "bench/BenchSetup.h"
#include "bench/ServerProcess.h"
#include "config/CQUpdateMgrEnv.h"
#include "platform/core/InstanceLock.h"
#include "platform/core/MessageService.h"
#include "platform/core/SystemRoot.h"
#include "tests/support/HttpTestServer.h"
#include "ui/CQUpdateDlgAuto.h"
#include "ui/CQUpdateStandBy.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using qrv::bench::ServiceUrl;
using qrv::bench::StartServer;
using qrv::bench::Clock;
using qrv::bench::EmptyTrash;
using qrv::bench::Explaining;
using qrv::bench::kRunProducts;
using qrv::bench::MiB;
using qrv::bench::Median;
using qrv::bench::Ms;
using qrv::bench::Quoted;
using qrv::bench::ResetMachine;
using qrv::bench::SilentMessages;
using qrv::bench::StatusKib;

// Automatic on every 10 days, the last check on date (yyyymmdd), no
// interrupted run.
void Schedule(uint32_t date) {
  const qrv::CQUpdateMgrEnv env;
  env.SetAutoUpdate(1);
  env.SetTerm(1);
  env.SetLastUpdate(date);
  env.SetUpdateState(0);
}

// The environment of a desktop start without a display or a notification
// area: the offscreen platform and a session bus that is not there.
std::vector<std::string> DesktopEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name == "QT_QPA_PLATFORM" || name == "DBUS_SESSION_BUS_ADDRESS" || name == "QRVUPDATE_ROOT" ||
        name == "DISPLAY" || name == "WAYLAND_DISPLAY") {
      continue;
    }
    env.push_back(entry);
  }
  env.emplace_back("QT_QPA_PLATFORM=offscreen");
  env.emplace_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent");
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

struct Started {
  double ms = -1;  // spawn to exit
  long maxRssKib = -1;
  int status = -1;  // exit status, -1 when it did not exit
};

// Spawns args (output to log) and waits for it.
Started Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, const fs::path& log) {
  std::vector<std::string> a = args, e = env;
  std::vector<char*> argv, envp;
  for (std::string& s : a) argv.push_back(s.data());
  for (std::string& s : e) envp.push_back(s.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  Started s;
  pid_t pid = -1;
  const auto start = Clock::now();
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return s;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return s;
  s.ms = Ms(start);
  s.maxRssKib = usage.ru_maxrss;
  s.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return s;
}

// Figure (1) with the real program.
int BenchNotDue(const std::string& program, const fs::path& work, int starts) {
  const fs::path root = qrv::platform::SystemRoot::Get();
  const uint32_t today = qrv::CQUpdateUtilTime::TodayNumber();
  Schedule(today);
  const std::vector<std::string> env = DesktopEnvironment({});
  const std::vector<std::string> autoRun{program, "--root", root.string(), "--auto"};
  const std::vector<std::string> reference{"/bin/true"};
  // --version ends at the top of main: what the loader costs alone
  const std::vector<std::string> version{program, "--version"};
  const fs::path log = work / "notdue.log";
  const fs::path versionLog = work / "version.log";
  std::vector<double> programMs, trueMs, versionMs;
  long maxRss = 0;
  for (int i = 0; i <= starts; ++i) {
    const Started p = Spawn(autoRun, env, log);
    const Started t = Spawn(reference, env, log);
    const Started v = Spawn(version, env, versionLog);
    if (p.status != 0 || t.status != 0 || v.status != 0) {
      std::fprintf(stderr,
                   "start %d: qrvupdate --auto ended with %d, /bin/true with %d, --version with %d; output in %s\n", i,
                   p.status, t.status, v.status, log.c_str());
      std::ifstream text(log);
      std::fprintf(stderr, "%s\n", std::string(std::istreambuf_iterator<char>(text), {}).c_str());
      return 1;
    }
    if (i == 0) continue;  // caches and the loader's first look, not timed
    programMs.push_back(p.ms);
    trueMs.push_back(t.ms);
    versionMs.push_back(v.ms);
    maxRss = std::max(maxRss, p.maxRssKib);
  }
  const qrv::CQUpdateMgrEnv stored;
  if (stored.GetUpdateState() != 0 || stored.GetLastUpdate() != today) {
    std::fprintf(stderr, "the not-due starts changed the store: UpdateState %u, LastUpdate %u (today %u)\n",
                 stored.GetUpdateState(), stored.GetLastUpdate(), today);
    return 1;
  }
  // What the starts left: the automatic mark is taken by the window gate
  // right before the window runs, so its file tells whether one got that
  // far; the trace holds only the opening and closing lines of each start
  // when nothing ran.
  const std::string mark = qrv::platform::InstanceLock::Path(qrv::platform::InstanceLock::kAutomatic);
  const bool marked = fs::exists(mark);
  int traceLines = 0, otherLines = 0;
  std::ifstream trace(root / "var" / "log" / "qrvupdate" / "QrvUpdate.txt");
  for (std::string line; std::getline(trace, line); ++traceLines) {
    if (line.rfind("##  Start", 0) != 0 && line.rfind("##  end", 0) != 0) ++otherLines;
  }
  std::printf("    after %d starts: automatic mark %s; trace %d lines, %d of them other than a start's opening and "
              "closing line\n",
              starts + 1, marked ? "TAKEN (a window got to run)" : "never taken (no window got to run)", traceLines,
              otherLines);
  if (marked || otherLines != 0) return 1;
  std::error_code ec;
  const auto output = fs::file_size(log, ec);
  const double p = Median(programMs), t = Median(trueMs);
  std::printf("    qrvupdate --auto, not due: min %.1f ms, max %.1f ms; /bin/true: min %.1f ms, max %.1f ms; "
              "peak RSS %.1f MiB; output %ju bytes\n",
              *std::min_element(programMs.begin(), programMs.end()),
              *std::max_element(programMs.begin(), programMs.end()),
              *std::min_element(trueMs.begin(), trueMs.end()), *std::max_element(trueMs.begin(), trueMs.end()),
              MiB(maxRss), static_cast<uintmax_t>(ec ? 0 : output));
  const double v = Median(versionMs);
  std::printf("    qrvupdate --version (loading its shared libraries, then ending at the top of main): median %.1f ms; "
              "so the not-due path after main starts costs about %.1f ms\n",
              v, p - v);
  std::printf("(1) the automatic start when not due, spawn to exit, median of %d: qrvupdate --auto %.1f ms, "
              "/bin/true %.1f ms, difference %.1f ms, ratio %.1f (target < 50 ms)\n",
              starts, p, t, p - t, t > 0 ? p / t : 0.0);

  if (Explaining()) {
    const fs::path plugins = work / "plugins.log";
    Spawn(autoRun, DesktopEnvironment({"QT_DEBUG_PLUGINS=1"}), plugins);
    std::ifstream text(plugins);
    int loaded = 0;
    for (std::string line; std::getline(text, line);) {
      if (line.find("loaded library") != std::string::npos || line.find("Got keys") != std::string::npos) {
        std::printf("      %s\n", line.c_str());
        ++loaded;
      }
    }
    std::printf("      (%d plugin lines; the whole log in %s is removed with the work folder)\n", loaded,
                plugins.c_str());
    // The loader lists what it would map and ends: the objects every start pays for.
    const fs::path loader = work / "loader.log";
    Spawn(version, DesktopEnvironment({"LD_TRACE_LOADED_OBJECTS=1"}), loader);
    std::ifstream objects(loader);
    int count = 0, samba = 0;
    for (std::string line; std::getline(objects, line);) {
      if (line.find("=>") == std::string::npos && line.find("ld-linux") == std::string::npos) continue;
      ++count;
      if (line.find("samba") != std::string::npos || line.find("smbclient") != std::string::npos) ++samba;
    }
    std::printf("      the program loads %d shared objects at every start, %d of them libsmbclient and the Samba "
                "libraries it brings\n",
                count, samba);
  }
  return 0;
}

// The program's window factory for the automatic run, counting its calls.
std::function<std::unique_ptr<qrv::CQUpdateDlgMgr>(uint32_t)> Factory(int& made) {
  return [&made](uint32_t /*mode*/) -> std::unique_ptr<qrv::CQUpdateDlgMgr> {
    ++made;
    return std::make_unique<qrv::CQUpdateDlgAuto>();
  };
}

// What the not-due start makes, in this process.
void ExplainNotDueWindow() {
  Schedule(qrv::CQUpdateUtilTime::TodayNumber());
  int made = 0;
  auto process = std::make_unique<qrv::CQUpdateBaseProcess>();
  process->SetWindowFactory(Factory(made));
  bool gateReached = false;
  process->SetWindowGate([&gateReached](uint32_t, qrv::CQUpdateDlgMgr&) { return gateReached = true; });
  const auto start = Clock::now();
  process->Run(qrv::CQUpdateBaseProcess::kModeAutomatic);
  const double ms = Ms(start);
  const auto* window = dynamic_cast<const qrv::CQUpdateDlgAuto*>(process->DlgMgr());
  const bool notDue = process->LastRunOutcome() == qrv::CQUpdateBaseProcess::RunOutcome::kNotDue;
  std::printf("    in this process, the not-due Run(1): %s, %.1f ms; the window factory ran %d time(s) (the dialog is "
              "made before the schedule is asked), platform windows %lld, dialog %s, tray icon %s, window gate %s\n",
              notDue ? "not due" : "NOT the not-due outcome", ms, made,
              static_cast<long long>(QGuiApplication::allWindows().size()),
              window != nullptr && window->isVisible() ? "shown" : "never shown",
              window != nullptr && window->TrayIcon() != nullptr ? "made" : "none",
              gateReached ? "reached" : "not reached (no instance mark, no channel)");
}

bool Unpacked(const fs::path& work, bool quiet = false) {
  std::error_code ec;
  for (const std::string& p : kRunProducts) {
    std::string lower = p;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (fs::file_size(work / "inst" / p / lower / "part4.bin", ec) != (5u << 20)) {
      if (!quiet) std::fprintf(stderr, "%s was not unpacked into %s\n", p.c_str(), (work / "inst" / p).c_str());
      return false;
    }
  }
  return true;
}

// The CPU time (ticks) of process pid so far; -1 when it cannot be read.
long CpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::vector<std::string> fields;
  std::string field;
  for (char c : text.substr(close + 2)) {
    if (c == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name
  return fields.size() > 12 ? std::atol(fields[11].c_str()) + std::atol(fields[12].c_str()) : -1;
}

long ProcessKib(pid_t pid, const char* name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const size_t length = std::strlen(name);
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, length, name) == 0 && line.size() > length && line[length] == ':') {
      return std::atol(line.c_str() + length + 1);
    }
  }
  return -1;
}

// Figure (2) with the real program: a Release program has nobody to answer
// the box that ends the copy, so it is read where it waits there: once the
// products are unpacked and the process has used no CPU for longer than
// its end balloon's pause, its VmHWM is read and it is killed. A program
// that ends by itself (a test build answering its boxes) is read through
// wait4. Polls every 100 ms against a 180 s deadline.
// The peak goes to peakKib.
int BenchPeakProgram(const std::string& program, const fs::path& work, int port, long& peakKib) {
  if (!ResetMachine(work, 1, ServiceUrl(port), kRunProducts, work / "fx" / "anchors.pem")) return 1;
  Schedule(20000101);
  std::vector<std::string> a{program, "--root", qrv::platform::SystemRoot::Get().string(), "--auto"};
  std::vector<std::string> e = DesktopEnvironment({});
  std::vector<char*> argv, envp;
  for (std::string& x : a) argv.push_back(x.data());
  for (std::string& x : e) envp.push_back(x.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const fs::path log = work / "due.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  const auto start = Clock::now();
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return 1;
  long peak = -1, lastTicks = -1;
  Clock::time_point idleSince = Clock::now();
  const char* how = nullptr;
  int status = 0;
  rusage usage{};
  while (how == nullptr && Ms(start) < 180000) {
      if (wait4(pid, &status, WNOHANG, &usage) == pid) {
      peak = usage.ru_maxrss;
      how = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "ended by itself with status 0" : "ENDED WITH A FAILURE";
      pid = -1;
      break;
    }
    const long ticks = CpuTicks(pid);
    if (ticks != lastTicks) {
      lastTicks = ticks;
      idleSince = Clock::now();
    } else if (Ms(idleSince) > 3000 && Unpacked(work, true)) {
      peak = ProcessKib(pid, "VmHWM");
      how = "read while it waited at its last box, then killed";
    }
    usleep(100000);
  }
  const double ms = Ms(start);
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  // Killed at its box, the run stops after the copy ("Update finished."
  // comes before the finalize); the download, the signature checks and the
  // unpacking are behind it then.
  const uint32_t state = qrv::CQUpdateMgrEnv().GetUpdateState();
  const bool finalizing = state == 22 || state == 31 || state == 32 || state == 41;
  if (how == nullptr || peak < 0 || !(state == 0 || (pid > 0 && finalizing)) || !Unpacked(work)) {
    std::ifstream text(log);
    std::fprintf(stderr, "the real program's automatic run failed (%s, UpdateState %u); its output:\n%s\n",
                 how != nullptr ? how : "no end within 180 s", state,
                 std::string(std::istreambuf_iterator<char>(text), {}).c_str());
    return 1;
  }
  std::printf("    the real program, qrvupdate --auto through the update: peak RSS %.1f MiB VmHWM (%s, UpdateState %u, "
              "%.1f s after the spawn)\n",
              MiB(peak), how, state, ms / 1000);
  peakKib = peak;
  EmptyTrash();
  return 0;
}

// Figure (2): the whole automatic run in its window, in this process.
int BenchPeak(const fs::path& work, int port, long programPeak) {
  if (!ResetMachine(work, 1, ServiceUrl(port), kRunProducts, work / "fx" / "anchors.pem")) {
    std::fprintf(stderr, "cannot write the settings below %s\n", work.c_str());
    return 1;
  }
  Schedule(20000101);  // long ago: due
  const long baseline = StatusKib("VmHWM");
  const long baselineRss = StatusKib("VmRSS");
  int made = 0;
  int exitCode = -1;
  bool ended = false;
  const auto start = Clock::now();
  {
    auto process = std::make_unique<qrv::CQUpdateBaseProcess>();
    process->SetStandByFactory([] { return std::make_unique<qrv::CQUpdateStandBy>(); });
    process->SetWindowFactory(Factory(made));
    qrv::CQUpdateBaseProcess* owner = process.get();
    process->SetEndProcess([owner](int code) {
      if (auto* automatic = dynamic_cast<qrv::CQUpdateDlgAuto*>(owner->DlgMgr())) automatic->EndProcess(code);
    });
    process->Run(qrv::CQUpdateBaseProcess::kModeAutomatic);
    if (const auto* automatic = dynamic_cast<const qrv::CQUpdateDlgAuto*>(process->DlgMgr())) {
      exitCode = automatic->ExitCode();
      ended = automatic->Ended();
    }
  }
  QCoreApplication::processEvents();
  const double ms = Ms(start);
  const long peak = StatusKib("VmHWM");
  const uint32_t state = qrv::CQUpdateMgrEnv().GetUpdateState();
  if (!ended || exitCode != 0 || state != 0 || !Unpacked(work)) {
    std::fprintf(stderr, "the automatic run failed: ended %d, exit code %d, UpdateState %u; its trace:\n", ended,
                 exitCode, state);
    std::ifstream trace(qrv::platform::SystemRoot::Get() / "var" / "log" / "qrvupdate" / "QrvUpdate.txt");
    std::fprintf(stderr, "%s\n", std::string(std::istreambuf_iterator<char>(trace), {}).c_str());
    return 1;
  }
  std::printf("    the automatic run took %.1f ms (with its 2 s end balloon), UpdateState 0, all three unpacked\n", ms);
  std::printf("    in this process, the whole run to its end: peak %.1f MiB VmHWM (baseline %.1f MiB VmHWM, %.1f MiB "
              "VmRSS, with the QApplication and no window), the run's own growth %.1f MiB\n",
              MiB(peak), MiB(baseline), MiB(baselineRss), MiB(peak - baseline));
  std::printf("(2) peak RSS of the automatic run through a 60 MiB update (offscreen, no notification area): the real "
              "qrvupdate --auto %.1f MiB (to its box after the copy), the whole run driven in-process %.1f MiB "
              "(target < 80 MiB)\n",
              MiB(programPeak), MiB(peak));
  EmptyTrash();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PATH/TO/RunBench.sh [STARTS]\n", argv[0]);
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string script = fs::absolute(argv[1]).string();
  const int starts = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  // the program of the same build, next to this one's folder
  const fs::path self = fs::canonical("/proc/self/exe");
  const std::string program = (self.parent_path().parent_path() / "app" / "qrvupdate" / "qrvupdate").string();
  if (access(program.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "no program at %s: build the qrvupdate target of this build\n", program.c_str());
    return 1;
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
  setenv("no_proxy", "127.0.0.1", 1);
  std::string pattern = "/tmp/qrv-bench-auto-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path work = pattern;
  fs::create_directories(work / "root");
  qrv::platform::SystemRoot::Set(work / "root");
  qrv::platform::MessageService::Install(std::make_shared<SilentMessages>());

  int rc = std::system(("bash " + Quoted(script) + " prepare " + Quoted(work.string())).c_str()) == 0 ? 0 : 1;
  if (rc != 0) std::fprintf(stderr, "preparing the served tree in %s failed\n", work.c_str());
  int port = 0;
  const pid_t server = rc == 0 ? StartServer(work / "srv", port) : -1;
  if (rc == 0 && (server <= 0 || port == 0)) {
    std::fprintf(stderr, "the loopback HTTP server did not start\n");
    rc = 1;
  }
  // the not-due machine: the products installed, the server named
  if (rc == 0 && !ResetMachine(work, 1, ServiceUrl(port), kRunProducts, work / "fx" / "anchors.pem")) {
    std::fprintf(stderr, "cannot write the settings below %s\n", work.c_str());
    rc = 1;
  }
  if (rc == 0) rc = BenchNotDue(program, work, starts);
  long programPeak = -1;
  if (rc == 0) rc = BenchPeakProgram(program, work, port, programPeak);
  if (rc == 0) {
    QApplication application(argc, argv);
    ExplainNotDueWindow();
    rc = BenchPeak(work, port, programPeak);
  }
  std::printf("(machine: %ld cores)\n", sysconf(_SC_NPROCESSORS_ONLN));

  if (server > 0) {
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
  }
  qrv::platform::MessageService::Install(nullptr);
  // QRV_BENCH_KEEP=1 keeps the folder (its root is left not due) for a
  // look with perf or strace at the program's start.
  const char* keep = std::getenv("QRV_BENCH_KEEP");
  if (keep != nullptr && std::string(keep) == "1") {
    Schedule(qrv::CQUpdateUtilTime::TodayNumber());
    std::printf("kept %s; not due: %s --root %s --auto\n", work.c_str(), program.c_str(),
                (work / "root").c_str());
    return rc;
  }
  std::error_code ec;
  fs::remove_all(work, ec);
  return rc;
}
