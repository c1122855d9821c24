// Cabinet extraction against cabextract, run by hand on a Release build:
//   cmake -S . -B build/cab-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DQRV_BUILD_TESTS=OFF
//   cmake --build build/cab-rel --target qrv_bench_cabinet
//   build/cab-rel/bench/qrv_bench_cabinet [RUNS]
// Makes a 200 MiB MSZIP cabinet (gcab) from semi-compressible data in a fresh
// folder below $TMPDIR (or /tmp), then extracts it RUNS times (default 5) each
// with Cabinet::CExtract (in a child process, so its peak RSS is its own) and
// with `cabextract -q -d DIR`, alternating, and prints medians, the
// throughput ratio and the peak resident set sizes. Removes everything after.
//
// The same program is the child: qrv_bench_cabinet --extract CAB DIR [--sync],
// and makes the cabinets: qrv_bench_cabinet --make FOLDER.
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cabinet/CExtract.h"
#include "platform/core/TempFolder.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kFiles = 8;
constexpr size_t kFileSize = 25u << 20;  // 8 x 25 MiB = 200 MiB
constexpr int kSmallFiles = 2000;        // 4 KiB each, for the cost of fsync per file

struct RunResult {
  double seconds = 0;
  long maxRssKiB = 0;
  int status = -1;
};

// Runs a program (no shell), waits for it, and reports wall time, exit
// status and its peak resident set size.
RunResult Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  RunResult result;
  auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return result;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return result;
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  result.maxRssKiB = usage.ru_maxrss;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// Text lines and random bytes in runs, compressing to roughly half.
void WritePayload(const std::filesystem::path& path, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string data;
  data.reserve(kFileSize);
  while (data.size() < kFileSize) {
    if (rng() % 2 == 0) {
      data += "record " + std::to_string(rng() % 100000) + " of the update payload, kept readable\n";
    } else {
      for (int i = 0; i < 64; ++i) data += static_cast<char>(rng() & 0xFF);
    }
  }
  data.resize(kFileSize);
  std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int ExtractChild(int argc, char** argv) {
  if (argc < 4) return 2;
  Cabinet::CExtract extract;
  if (extract.CreateFDIContext() != 1) return 1;
  extract.SetSyncFiles(argc > 4 && std::strcmp(argv[4], "--sync") == 0);
  if (extract.ExtractFile(argv[2], argv[3]) != 1) {
    std::fprintf(stderr, "extract failed: %s\n", extract.GetLastErrorText().c_str());
    return 1;
  }
  return 0;
}

int MakeChild(const std::filesystem::path& root) {
  const std::filesystem::path src = root / "src";
  const std::filesystem::path cab = root / "payload.cab";
  std::filesystem::create_directories(src / "small");
  std::vector<std::string> make = {"gcab", "-cz", cab.string()};
  for (size_t i = 0; i < kFiles; ++i) {
    std::string name = "part" + std::to_string(i) + ".bin";
    WritePayload(src / name, static_cast<uint32_t>(i + 1));
    make.push_back(name);
  }
  std::vector<std::string> makeSmall = {"gcab", "-cz", (root / "small.cab").string()};
  for (int i = 0; i < kSmallFiles; ++i) {
    std::string name = "small/f" + std::to_string(i) + ".txt";
    std::ofstream out(src / name);
    for (int line = 0; out.tellp() < 4096; ++line) out << "file " << i << " line " << line << " of a small file\n";
    makeSmall.push_back(name);
  }
  std::filesystem::current_path(src);
  if (Spawn(make).status != 0 || Spawn(makeSmall).status != 0) {
    std::fprintf(stderr, "gcab failed\n");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--extract") == 0) return ExtractChild(argc, argv);
  if (argc > 2 && std::strcmp(argv[1], "--make") == 0) return MakeChild(argv[2]);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

  std::string base = qrv::platform::TempFolder::Get() + "qrv-bench-cabinet-XXXXXX";
  if (mkdtemp(base.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path root = base;
  const std::filesystem::path src = root / "src";
  const std::filesystem::path cab = root / "payload.cab";
  int status = 0;

  /* the cabinets, made by a child so this process stays small: a child
     started with posix_spawn inherits its parent's peak RSS in its own
     figure */
  auto madeStart = Clock::now();
  std::error_code ec;
  const std::string self = std::filesystem::canonical("/proc/self/exe").string();
  if (Spawn({self, "--make", root.string()}).status != 0) {
    std::fprintf(stderr, "making the cabinets failed\n");
    std::filesystem::remove_all(root, ec);
    return 1;
  }
  std::printf("cabinet: %zu files, %zu MiB unpacked, %.1f MiB MSZIP (made in %.1f s)\n", kFiles,
              kFiles * kFileSize >> 20, static_cast<double>(std::filesystem::file_size(cab)) / (1 << 20),
              std::chrono::duration<double>(Clock::now() - madeStart).count());

  /* alternate the two extractors so both see the same cache state */
  std::vector<double> ours, theirs, synced;
  long oursRss = 0, theirsRss = 0, syncedRss = 0;
  auto measure = [&](const std::vector<std::string>& args, std::vector<double>& times, long& rss,
                     const std::string& last = "part7.bin", uintmax_t lastSize = kFileSize) {
    std::filesystem::path out = root / "out";
    std::filesystem::remove_all(out, ec);
    std::vector<std::string> full = args;
    for (std::string& a : full) {
      if (a == "@OUT") a = out.string();
    }
    RunResult r = Spawn(full);
    if (r.status != 0 || std::filesystem::file_size(out / last, ec) != lastSize) {
      std::fprintf(stderr, "%s failed (status %d)\n", args[0].c_str(), r.status);
      status = 1;
    }
    times.push_back(r.seconds);
    rss = std::max(rss, r.maxRssKiB);
  };
  for (int i = 0; i < runs; ++i) {
    measure({self, "--extract", cab.string(), "@OUT"}, ours, oursRss);
    measure({"cabextract", "-q", "-d", "@OUT", cab.string()}, theirs, theirsRss);
  }
  for (int i = 0; i < std::max(1, runs / 2); ++i) {
    measure({self, "--extract", cab.string(), "@OUT", "--sync"}, synced, syncedRss);
  }

  // many small files: where a flush per file costs most
  const std::string small = (root / "small.cab").string();
  const std::string lastSmall = "small/f" + std::to_string(kSmallFiles - 1) + ".txt";
  const uintmax_t lastSmallSize = std::filesystem::file_size(src / lastSmall);
  std::vector<double> smallOurs, smallTheirs, smallSynced;
  long unused = 0;
  for (int i = 0; i < runs; ++i) {
    measure({self, "--extract", small, "@OUT"}, smallOurs, unused, lastSmall, lastSmallSize);
    measure({"cabextract", "-q", "-d", "@OUT", small}, smallTheirs, unused, lastSmall, lastSmallSize);
    measure({self, "--extract", small, "@OUT", "--sync"}, smallSynced, unused, lastSmall, lastSmallSize);
  }

  const double mib = static_cast<double>(kFiles * kFileSize) / (1 << 20);
  std::printf("CExtract:   median %.3f s (%.0f MiB/s), peak RSS %.1f MiB  [%d runs]\n", Median(ours),
              mib / Median(ours), oursRss / 1024.0, runs);
  std::printf("cabextract: median %.3f s (%.0f MiB/s), peak RSS %.1f MiB  [%d runs]\n", Median(theirs),
              mib / Median(theirs), theirsRss / 1024.0, runs);
  std::printf("throughput ratio CExtract / cabextract: %.2fx (target >= 0.9x); RSS target < 40 MiB\n",
              Median(theirs) / Median(ours));
  std::printf("CExtract with fsync per file: median %.3f s (%.2fx the time without)\n", Median(synced),
              Median(synced) / Median(ours));

  std::printf("%d files of 4 KiB: CExtract %.3f s, cabextract %.3f s (%.2fx), CExtract with fsync %.3f s (%.1fx)\n",
              kSmallFiles, Median(smallOurs), Median(smallTheirs), Median(smallTheirs) / Median(smallOurs),
              Median(smallSynced), Median(smallSynced) / Median(smallOurs));

  std::filesystem::remove_all(root, ec);
  return status;
}
