// Profile file timings, run by hand on a Release build:
//   build/<name>-rel/bench/qrv_bench_profile
// Works in a fresh folder below $TMPDIR (or /tmp) and removes it afterwards.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/core/LastError.h"
#include "platform/core/TempFolder.h"
#include "platform/profile/ProfileFile.h"

namespace {

using Clock = std::chrono::steady_clock;
using qrv::platform::ProfileFile;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main() {
  std::string base = qrv::platform::TempFolder::Get() + "qrv-bench-profile-XXXXXX";
  if (mkdtemp(base.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  std::filesystem::path root = base;
  std::string file = (root / "product.ini").string();
  constexpr int kKeys = 10000;
  constexpr int kWrites = 1000;
  int status = 0;

  /* one section, 10,000 keys */
  {
    std::ofstream out(file, std::ios::binary);
    out << "; product file\n[Product]\n";
    for (int i = 0; i < kKeys; ++i) out << "Key" << i << "=Value number " << i << "\n";
  }
  std::printf("file: %s (%ju bytes, %d keys)\n", file.c_str(),
              static_cast<uintmax_t>(std::filesystem::file_size(file)), kKeys);

  /* every key, one call per key: the first call parses, the rest hit the cache */
  ProfileFile::FlushCache();
  auto start = Clock::now();
  size_t bytes = 0;
  for (int i = 0; i < kKeys; ++i) {
    std::string value = ProfileFile::GetString(file, "product", "key" + std::to_string(i));
    if (value != "Value number " + std::to_string(i)) {
      std::fprintf(stderr, "Key%d read back as \"%s\"\n", i, value.c_str());
      status = 1;
      break;
    }
    bytes += value.size();
  }
  double readMs = MsSince(start);
  std::printf("read %d keys, one GetString each: %.1f ms in all (%.2f us per key, %zu value bytes)\n", kKeys, readMs,
              readMs * 1000.0 / kKeys, bytes);

  /* the same again with a flushed cache before every call: the cost a cache saves */
  start = Clock::now();
  constexpr int kUncached = 200;
  for (int i = 0; i < kUncached; ++i) {
    ProfileFile::FlushCache();
    (void)ProfileFile::GetString(file, "product", "key" + std::to_string(i * 37));
  }
  double uncachedMs = MsSince(start);
  std::printf("read %d keys with the cache flushed before each: %.1f ms (%.2f ms per key)\n", kUncached, uncachedMs,
              uncachedMs / kUncached);

  /* single-key writes: half replace an existing key, half add a new one */
  start = Clock::now();
  for (int i = 0; i < kWrites; ++i) {
    std::string key = i % 2 == 0 ? "Key" + std::to_string(i) : "NewKey" + std::to_string(i);
    if (!ProfileFile::WriteString(file, "Product", key, "written " + std::to_string(i))) {
      std::fprintf(stderr, "write %d failed: %s\n", i, qrv::platform::LastError::Text().c_str());
      status = 1;
      break;
    }
  }
  double writeMs = MsSince(start);
  std::printf("%d single-key writes (atomic replace with fsync each): %.1f ms in all (%.2f ms per write)\n", kWrites,
              writeMs, writeMs / kWrites);
  if (ProfileFile::GetString(file, "Product", "NewKey999") != "written 999") {
    std::fprintf(stderr, "the last write does not read back\n");
    status = 1;
  }

  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return status;
}
