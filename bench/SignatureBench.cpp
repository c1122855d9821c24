// Signature check of a large cabinet against sha256sum of the same file,
// run by hand on a Release build (bench/SignatureBench.sh makes the file):
//   build/rel/bench/qrv_bench_signature FILE ANCHORS.pem [RUNS]
// Each run hashes the file once with sha256sum and verifies it once; the
// page cache is warm for both after the first pass. Prints each run, the
// medians, their ratio and this process's peak resident set size.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/trust/AuthenticodeResult.h"
#include "platform/trust/AuthenticodeVerifier.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// sha256sum FILE > /dev/null; milliseconds, or -1 when it failed.
double TimeSha256sum(const std::string& file) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::string program = "sha256sum";
  char* argv[] = {program.data(), const_cast<char*>(file.c_str()), nullptr};
  const auto start = Clock::now();
  pid_t pid = 0;
  int status = 0;
  const int spawned = posix_spawnp(&pid, "sha256sum", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s FILE ANCHORS.pem [RUNS]\n", argv[0]);
    return 2;
  }
  const std::string file = argv[1];
  const std::vector<std::string> anchors = {argv[2]};
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;

  TimeSha256sum(file);  // warm the page cache
  std::vector<double> verify, reference;
  for (int i = 0; i < runs; ++i) {
    const double sum = TimeSha256sum(file);
    qrv::platform::AuthenticodeResult result;
    const auto start = Clock::now();
    const bool ok = qrv::platform::AuthenticodeVerifier::Verify(file, anchors, result);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (!ok || sum < 0) {
      std::fprintf(stderr, "run %d failed: %s\n", i + 1, ok ? "sha256sum failed" : result.reason.c_str());
      return 1;
    }
    reference.push_back(sum);
    verify.push_back(ms);
    std::printf("run %d: verify %8.1f ms   sha256sum %8.1f ms\n", i + 1, ms, sum);
  }
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  const double v = Median(verify), r = Median(reference);
  std::printf("median: verify %.1f ms, sha256sum %.1f ms, ratio %.2f\n", v, r, v / r);
  std::printf("peak RSS of the verifying process: %ld KiB\n", usage.ru_maxrss);
  return 0;
}
