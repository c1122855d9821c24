// HTTP transfer timings against the curl command line, run by hand on a
// Release build:
//   cmake -S . -B build/net-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DQRV_BUILD_TESTS=OFF
//   cmake --build build/net-rel --target qrv_bench_transfer && build/net-rel/bench/qrv_bench_transfer
// The loopback server (the tests' HttpTestServer) runs in a child process, so
// the peak memory measured is the downloader's alone. Works in a fresh folder
// below $TMPDIR (or /tmp) and removes it afterwards.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/ServerProcess.h"
#include "config/tagSERVERINFO.h"
#include "platform/core/SystemRoot.h"
#include "platform/core/TempFolder.h"
#include "tests/support/HttpTestServer.h"
#include "transfer/CQUpdateTransferHttp.h"

extern char** environ;

namespace {

using qrv::bench::StartServer;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kBigBytes = uint64_t{256} << 20;
constexpr int kSmallFiles = 500;
constexpr size_t kSmallBytes = 4096;
constexpr int kRounds = 5;

// One timed run. Dirty pages of earlier runs are written out first, so a run
// does not pay for its predecessor's writes.
double Seconds(const std::function<bool()>& f, bool& ok) {
  sync();
  auto start = Clock::now();
  ok = f();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Best of kRounds for each side, the order alternating between rounds, both
// writing into emptied folders.
void Compare(const std::function<bool()>& ours, const std::function<bool()>& curl,
             const std::function<void()>& reset, double& bestOurs, double& bestCurl, bool& allOk) {
  bestOurs = bestCurl = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    reset();
    bool ok = true;
    for (int side = 0; side < 2; ++side) {
      if ((side + round) % 2 == 0) {
        bestOurs = std::min(bestOurs, Seconds(ours, ok));
      } else {
        bestCurl = std::min(bestCurl, Seconds(curl, ok));
      }
      allOk = allOk && ok;
    }
  }
}

bool RunCurl(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"curl"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, "/usr/bin/curl", nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Both clients write into an empty folder, as a real run's download folder
// starts: replacing existing files costs the file system very differently
// (deleting, truncating) and would measure that instead of the transfer.
void Empty(const fs::path& folder) {
  fs::remove_all(folder);
  fs::create_directories(folder);
}

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void MakeFiles(const fs::path& srv) {
  fs::create_directories(srv);
  std::vector<char> block(1 << 20);
  std::mt19937_64 random(42);
  for (size_t i = 0; i + 8 <= block.size(); i += 8) {
    uint64_t v = random();
    std::copy_n(reinterpret_cast<const char*>(&v), 8, block.data() + i);
  }
  std::ofstream big(srv / "big.bin", std::ios::binary);
  for (uint64_t done = 0; done < kBigBytes; done += block.size()) {
    big.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  for (int i = 0; i < kSmallFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "s%03d.bin", i);
    std::ofstream small(srv / name, std::ios::binary);
    small.write(block.data() + i * 64, kSmallBytes);
  }
}

}  // namespace

int main() {
  std::string templ = qrv::platform::TempFolder::Get() + "qrv-bench-transfer-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  fs::path work = templ;
  fs::create_directories(work / "root/tmp");
  fs::create_directories(work / "ours");
  fs::create_directories(work / "curl");
  qrv::platform::SystemRoot::Set(work / "root");
  setenv("TMPDIR", (work / "root/tmp").c_str(), 1);
  setenv("no_proxy", "127.0.0.1", 1);  // both clients go to the loopback server directly
  MakeFiles(work / "srv");

  int port = 0;
  pid_t server = StartServer(work / "srv", port);
  if (server <= 0 || port == 0) {
    std::fprintf(stderr, "cannot start the loopback server\n");
    fs::remove_all(work);
    return 1;
  }
  std::string files = "http://127.0.0.1:" + std::to_string(port) + "/files/";
  std::string ours = (work / "ours").string();
  std::string theirs = (work / "curl").string();

  qrv::tagSERVERINFO info;
  info.path = "http://127.0.0.1:" + std::to_string(port) + "/svc/AUpdate70.jsp";
  qrv::CQUpdateTransferHttp http(info);
  long rssBefore = PeakRssKiB();

  /* (a) one large file */
  auto reset = [&] {
    Empty(ours);
    Empty(theirs);
  };
  double bestOurs = 0, bestCurl = 0;
  bool all = true;
  Compare([&] { return http.DownloadFile(ours, "big.bin") == 1 && fs::file_size(ours + "/big.bin") == kBigBytes; },
          [&] { return RunCurl({"-s", "-o", theirs + "/big.bin", files + "big.bin"}); }, reset, bestOurs, bestCurl,
          all);
  long rssAfter = PeakRssKiB();
  double mib = static_cast<double>(kBigBytes) / (1 << 20);
  std::printf("256 MiB file:  ours %.0f MiB/s, curl %.0f MiB/s, throughput ratio ours/curl %.2f (target >= 0.9)\n",
              mib / bestOurs, mib / bestCurl, bestCurl / bestOurs);
  std::printf("peak memory:   %.1f MiB in all (%.1f MiB before the large file; target < 40)\n", rssAfter / 1024.0,
              rssBefore / 1024.0);

  /* (b) many small files over one connection */
  std::ofstream config(work / "curl.cfg");
  for (int i = 0; i < kSmallFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "s%03d.bin", i);
    config << "url = \"" << files << name << "\"\noutput = \"" << theirs << "/" << name << "\"\n";
  }
  config.close();
  double smallOurs = 0, smallCurl = 0;
  Compare(
      [&] {
        for (int i = 0; i < kSmallFiles; ++i) {
          char name[32];
          std::snprintf(name, sizeof name, "s%03d.bin", i);
          if (http.DownloadFile(ours, name) != 1) return false;
        }
        return true;
      },
      [&] { return RunCurl({"-s", "-K", (work / "curl.cfg").string()}); }, reset, smallOurs, smallCurl, all);
  std::printf("500 x 4 KiB:   ours %.0f ms, curl %.0f ms, time ratio ours/curl %.2f (target <= 2), "
              "%.3f ms per file (curl %.3f ms), overhead %.3f ms per file\n",
              smallOurs * 1e3, smallCurl * 1e3, smallOurs / smallCurl, smallOurs * 1e3 / kSmallFiles,
              smallCurl * 1e3 / kSmallFiles, (smallOurs - smallCurl) * 1e3 / kSmallFiles);

  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  fs::remove_all(work);
  if (!all) {
    std::fprintf(stderr, "some downloads failed\n");
    return 1;
  }
  return 0;
}
