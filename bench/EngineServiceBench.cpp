// The engine service against the engine in process, run by hand on a
// Release build:
//   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DQRV_BUILD_TESTS=OFF -DQRV_BUILD_BENCH=ON
//   cmake --build build/rel --target qrv_bench_engine_service
//   build/rel/bench/qrv_bench_engine_service bench/RunBench.sh [ROUNDS [CALLS]]
//
// (a) The same update of three products from RunBench.sh's 60 MiB of signed
//     cabinets over loopback HTTP, by the real terminal front-end of the same
//     build: qrvupdate --console --yes --engine=local (the engine in its
//     process) and qrvupdate --console --yes --engine=service talking to a
//     qrvupdate-engine --root ROOT --socket SOCKET started by hand in the
//     same kind of sandbox root beforehand, as systemd's socket would have
//     it listening. Each run gets a fresh root with the products at level 5;
//     one local run first, not timed (the served files into the page cache),
//     then ROUNDS (default 7) rounds of one run each way, the order swapped
//     every round. Each run must end with status 0, UpdateState 0 and all
//     three products unpacked. Prints the medians of the client's spawn to
//     exit and their ratio (target <= 1.05). Beside it, what the split costs
//     apart from the work: after each update the same start five times more
//     with nothing left to update (to the same engine, which keeps running
//     as it would for 30 s), and how long the engine took from its spawn
//     until it listened, which a socket-activated first connection pays once.
// (b) The round trip of one progress notification: a RemoteChannel pair on
//     a socketpair in this process, one side calling SET_PROGRESS_TEXT with
//     a file name and a number as the engine tells a window of each file,
//     the other side (a thread of its own, as a window's is) reading the
//     values and answering; CALLS (default 20000) calls after 1000 not
//     timed. Prints the median (target < 0.2 ms) and the 99th percentile.
//
// The engine serves administrators only, so run it as root or as a member
// of sudo, wheel or admin. The loopback server runs in a child process.
// Works in a fresh folder below /tmp, the roots inside it, and removes it
// afterwards (QRV_BENCH_KEEP=1 keeps it, with each run's output).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "app/remote/RemoteChannel.h"
#include "app/remote/RemoteValues.h"
#include "bench/BenchSetup.h"
#include "bench/ServerProcess.h"
#include "config/CQUpdateMgrEnv.h"
#include "platform/core/ProgressKind.h"
#include "platform/core/SystemRoot.h"
#include "tests/support/HttpTestServer.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using qrv::bench::ServiceUrl;
using qrv::bench::StartServer;
using qrv::bench::Clock;
using qrv::bench::EmptyTrash;
using qrv::bench::kRunProducts;
using qrv::bench::Median;
using qrv::bench::Ms;
using qrv::bench::Quoted;
using qrv::bench::ResetMachine;
using qrv::remote::Message;
using qrv::remote::RemoteChannel;
using qrv::remote::RemoteValues;
using qrv::remote::Values;

// This process's environment without what would steer the programs
// elsewhere, plus extra.
std::vector<std::string> Environment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name == "QRVUPDATE_ROOT" || name == "QRVUPDATE_ENGINE_SOCKET" || name == "LISTEN_PID" ||
        name == "LISTEN_FDS") {
      continue;
    }
    env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

// Spawns args with output to log (appended) and input from /dev/null; -1
// when it could not.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, const fs::path& log) {
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
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// The exit status of pid, waited for; -1 when it did not exit normally.
int Wait(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether a socket listens at path, from the kernel's list of Unix sockets
// (/proc/net/unix: flag 00010000 marks a listening one). A connection would
// tell as much, but the engine would take it for a window and could answer
// the real one that follows "handed over".
bool Listening(const std::string& path) {
  std::ifstream table("/proc/net/unix");
  for (std::string line; std::getline(table, line);) {
    if (line.size() <= path.size() || line.compare(line.size() - path.size(), path.size(), path) != 0 ||
        line[line.size() - path.size() - 1] != ' ') {
      continue;
    }
    char flags[16] = {};
    if (std::sscanf(line.c_str(), "%*s %*s %*s %15s", flags) == 1 && std::strtoul(flags, nullptr, 16) & 0x10000) {
      return true;
    }
  }
  return false;
}

bool Unpacked(const fs::path& work) {
  std::error_code ec;
  for (const std::string& p : kRunProducts) {
    std::string lower = p;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (fs::file_size(work / "inst" / p / lower / "part4.bin", ec) != (5u << 20)) return false;
  }
  return true;
}

struct Programs {
  std::string client;  // qrvupdate
  std::string engine;  // qrvupdate-engine
};

struct RunTimes {
  double clientMs = -1;  // the client's spawn to exit
  double engineUpMs = -1;  // the engine's spawn until it listened (service only)
  int upToDateRuns = 0;  // how many starts to time after the update, with nothing to update
  std::vector<double> upToDateMs;
};

// One whole update in a fresh root below work/name, through the engine in
// process or the engine service; false (with what it printed) on any fault.
bool RunOnce(const Programs& programs, const fs::path& work, const std::string& name, bool service, int port,
             RunTimes& times) {
  const fs::path folder = work / name;
  const fs::path root = folder / "root";
  fs::create_directories(root);
  qrv::platform::SystemRoot::Set(root);
  if (!ResetMachine(folder, 1, ServiceUrl(port), kRunProducts, work / "fx" / "anchors.pem")) {
    std::fprintf(stderr, "%s: cannot write the settings below %s\n", name.c_str(), root.c_str());
    return false;
  }
  const fs::path log = folder / "output.log";
  const std::string socket = (folder / "engine.socket").string();
  pid_t engine = -1;
  if (service) {
    const auto start = Clock::now();
    engine = Spawn({programs.engine, "--root", root.string(), "--socket", socket, "--idle-timeout", "600000"},
                   Environment({}), folder / "engine.log");
    while (engine > 0 && !Listening(socket) && Ms(start) < 10000) {
      if (waitpid(engine, nullptr, WNOHANG) == engine) {
        engine = -1;
        break;
      }
      usleep(1000);
    }
    times.engineUpMs = Ms(start);
    if (engine <= 0 || !Listening(socket)) {
      std::fprintf(stderr, "%s: the engine did not listen at %s within 10 s; its output:\n%s\n", name.c_str(),
                   socket.c_str(), ReadAll(folder / "engine.log").c_str());
      if (engine > 0) {
        kill(engine, SIGKILL);
        Wait(engine);
      }
      return false;
    }
  }
  std::vector<std::string> args{programs.client, "--console", "--yes", "--root", root.string(),
                                service ? "--engine=service" : "--engine=local"};
  const std::vector<std::string> env =
      Environment(service ? std::vector<std::string>{"QRVUPDATE_ENGINE_SOCKET=" + socket} : std::vector<std::string>{});
  const auto start = Clock::now();
  const pid_t client = Spawn(args, env, log);
  int status = client > 0 ? Wait(client) : -1;
  times.clientMs = Ms(start);
  const uint32_t state = qrv::CQUpdateMgrEnv().GetUpdateState();
  const bool unpacked = Unpacked(folder);
  // The same start again with nothing left to update, to the same engine:
  // what the split costs a run apart from the work.
  for (int i = 0; status == 0 && i < times.upToDateRuns; ++i) {
    const auto again = Clock::now();
    const pid_t second = Spawn(args, env, folder / "up-to-date.log");
    status = second > 0 ? Wait(second) : -1;
    times.upToDateMs.push_back(Ms(again));
  }
  if (engine > 0) {
    // The engine started by hand is ended as systemd would end it.
    kill(engine, SIGTERM);
    Wait(engine);
  }
  if (status != 0 || state != 0 || !unpacked) {
    std::fprintf(stderr, "%s: the run failed (status %d, UpdateState %u, %s); its output:\n%s\n%s\n", name.c_str(),
                 status, state, unpacked ? "unpacked" : "NOT unpacked", ReadAll(log).c_str(),
                 ReadAll(folder / "up-to-date.log").c_str());
    if (service) std::fprintf(stderr, "the engine's output:\n%s\n", ReadAll(folder / "engine.log").c_str());
    return false;
  }
  return true;
}

int BenchUpdate(const Programs& programs, const fs::path& work, int port, int rounds) {
  RunTimes warm;
  if (!RunOnce(programs, work, "warm", false, port, warm)) return 1;
  std::printf("    not timed, the first local run: %.0f ms\n", warm.clientMs);
  std::vector<double> local, remote, engineUp, localUpToDate, remoteUpToDate;
  for (int round = 0; round < rounds; ++round) {
    EmptyTrash();
    for (int turn = 0; turn < 2; ++turn) {
      const bool service = (turn == 0) == (round % 2 == 1);
      RunTimes t;
      t.upToDateRuns = 5;
      const std::string name = (service ? "service-" : "local-") + std::to_string(round);
      if (!RunOnce(programs, work, name, service, port, t)) return 1;
      (service ? remote : local).push_back(t.clientMs);
      std::vector<double>& upToDate = service ? remoteUpToDate : localUpToDate;
      upToDate.insert(upToDate.end(), t.upToDateMs.begin(), t.upToDateMs.end());
      if (service) {
        engineUp.push_back(t.engineUpMs);
        std::printf("    round %d: through the engine service %.0f ms (the engine listened %.1f ms after its spawn); "
                    "up to date, median of %d: %.1f ms\n",
                    round + 1, t.clientMs, t.engineUpMs, t.upToDateRuns, Median(t.upToDateMs));
      } else {
        std::printf("    round %d: in process %.0f ms; up to date, median of %d: %.1f ms\n", round + 1, t.clientMs,
                    t.upToDateRuns, Median(t.upToDateMs));
      }
    }
  }
  const double l = Median(local), r = Median(remote);
  std::printf("    the same start with nothing left to update (the engine kept running), median of %zu: in process "
              "%.1f ms, through the engine service %.1f ms; the engine's spawn until it listened, median %.1f ms\n",
              localUpToDate.size(), Median(localUpToDate), Median(remoteUpToDate), Median(engineUp));
  std::printf("(a) qrvupdate --console --yes through three products, 60 MiB, loopback HTTP, median of %d: in process "
              "%.0f ms, through the engine service %.0f ms, ratio %.3f (target <= 1.05)\n",
              rounds, l, r, l > 0 ? r / l : 0.0);
  return 0;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const size_t at = std::min(v.size() - 1, static_cast<size_t>(std::ceil(p * static_cast<double>(v.size())) - 1));
  return v[at];
}

int BenchRoundTrip(int calls) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    std::perror("socketpair");
    return 1;
  }
  // The window's side: its own thread owns its channel and serves until
  // the engine's side hangs up.
  long answered = 0;
  long malformed = 0;
  std::thread window([fd = fds[1], &answered, &malformed] {
    RemoteChannel channel(fd);
    channel.SetDispatcher([&](const Message& call, Message& reply) {
      int64_t kind = 0, value = 0;
      std::string file;
      if (call.method() != qrv::remote::SET_PROGRESS_TEXT || !RemoteValues::Number(call.values(), 0, 0, 16, kind) ||
          !RemoteValues::Text(call.values(), 1, file) || !RemoteValues::Number(call.values(), 2, 0, UINT32_MAX, value)) {
        ++malformed;
        reply.set_error("not a progress notification");
        return;
      }
      ++answered;
    });
    while (channel.ServeFor(std::chrono::milliseconds{100})) {
    }
  });
  std::vector<double> us;
  us.reserve(static_cast<size_t>(calls));
  bool failed = false;
  {
    RemoteChannel engine(fds[0]);
    const std::string file = "alpha/part3.bin";
    for (int i = -1000; i < calls; ++i) {
      Values args;
      RemoteValues::AddNumber(args, static_cast<int64_t>(qrv::platform::ProgressKind::kDownloading));
      RemoteValues::AddText(args, file);
      RemoteValues::AddNumber(args, 1000 + (i & 1023));
      Message reply;
      const auto start = Clock::now();
      if (!engine.Call(qrv::remote::SET_PROGRESS_TEXT, args, reply) || !reply.error().empty()) {
        std::fprintf(stderr, "call %d failed: %s%s\n", i, engine.CloseReason().c_str(), reply.error().c_str());
        failed = true;
        break;
      }
      if (i >= 0) us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    engine.Shutdown();
  }
  window.join();
  if (failed || malformed != 0 || answered != calls + 1000) {
    std::fprintf(stderr, "the window's side answered %ld calls and refused %ld\n", answered, malformed);
    return 1;
  }
  std::printf("(b) round trip of one SET_PROGRESS_TEXT (file name and number) over a RemoteChannel pair on a "
              "socketpair, %d calls: median %.1f us, 99th percentile %.1f us, max %.1f us (target: median < 200 us)\n",
              calls, Median(us), Percentile(us, 0.99), *std::max_element(us.begin(), us.end()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PATH/TO/RunBench.sh [ROUNDS [CALLS]]\n", argv[0]);
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string script = fs::absolute(argv[1]).string();
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
  const int calls = argc > 3 ? std::max(100, std::atoi(argv[3])) : 20000;
  // the programs of the same build, next to this one's folder
  const fs::path build = fs::canonical("/proc/self/exe").parent_path().parent_path();
  const Programs programs{(build / "app" / "qrvupdate" / "qrvupdate").string(),
                         (build / "app" / "engine" / "qrvupdate-engine").string()};
  for (const std::string& program : {programs.client, programs.engine}) {
    if (access(program.c_str(), X_OK) != 0) {
      std::fprintf(stderr, "no program at %s: build the qrvupdate and qrvupdate-engine targets of this build\n",
                   program.c_str());
      return 1;
    }
  }
  setenv("no_proxy", "127.0.0.1", 1);

  int rc = BenchRoundTrip(calls);

  std::string pattern = "/tmp/qrv-bench-engine-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path work = pattern;
  if (rc == 0 && std::system(("bash " + Quoted(script) + " prepare " + Quoted(work.string())).c_str()) != 0) {
    std::fprintf(stderr, "preparing the served tree in %s failed\n", work.c_str());
    rc = 1;
  }
  int port = 0;
  const pid_t server = rc == 0 ? StartServer(work / "srv", port) : -1;
  if (rc == 0 && (server <= 0 || port == 0)) {
    std::fprintf(stderr, "the loopback HTTP server did not start\n");
    rc = 1;
  }
  if (rc == 0) rc = BenchUpdate(programs, work, port, rounds);
  std::printf("(machine: %ld cores)\n", sysconf(_SC_NPROCESSORS_ONLN));

  if (server > 0) {
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
  }
  const char* keep = std::getenv("QRV_BENCH_KEEP");
  if (keep != nullptr && std::string(keep) == "1") {
    std::printf("kept %s\n", work.c_str());
    return rc;
  }
  std::error_code ec;
  fs::remove_all(work, ec);
  return rc;
}
