#pragma once

// The machine the run benchmarks (RunBench.cpp, WindowBench.cpp) update: the
// settings store below the sandbox root, products installed as the installers
// record them, a served tree of update information, and the clock helpers.
// Header only, for benchmarks that are single programs run by hand.
//
// Thread: the benchmark's main thread; the store is that of the system root
// in force (platform::SystemRoot), so set the root first.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/MessageService.h"
#include "platform/registry/RegistryKey.h"

namespace qrv::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline double Ms(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// What Discard() moved aside, for EmptyTrash().
inline std::set<fs::path> g_trash;

// Moves what a run left at path out of the way, into a folder that
// EmptyTrash() deletes between timed runs. Deleting thousands of files right
// before a timed run would time the file system instead: ext4 without a
// journal passes over every inode freed in the last half minute for each
// file it creates.
inline void Discard(const fs::path& path) {
  static int count = 0;
  std::error_code ec;
  if (!fs::exists(path, ec)) return;
  const fs::path trash = path.parent_path() / ".trash";
  fs::create_directories(trash, ec);
  g_trash.insert(trash);
  fs::rename(path, trash / std::to_string(++count), ec);
  if (ec) fs::remove_all(path, ec);
}

// Deletes what Discard() kept, outside the timed parts. Large files are
// best deleted soon: their pages are then dropped instead of being written
// to disk while the next run is timed.
inline void EmptyTrash() {
  std::error_code ec;
  for (const fs::path& trash : g_trash) fs::remove_all(trash, ec);
  g_trash.clear();
}

// Nobody watches a benchmark: every question is answered OK, silently.
class SilentMessages : public qrv::platform::MessageService {
 public:
  int Show(uint32_t /*stringId*/, uint32_t /*buttons*/) override { return kAnswerOk; }
};

inline bool OpenMain(qrv::platform::RegistryKey& main) {
  return qrv::platform::RegistryKey::Create(qrv::platform::kRootLocalMachine, qrv::CQUpdateUtilRegistry::kMainKey,
                                            main) == qrv::platform::RegStatus::kOk;
}

// A product as the installers record it, at level 5, with an empty folder.
inline bool Install(qrv::platform::RegistryKey& main, const fs::path& work, const std::string& product) {
  qrv::platform::RegistryKey key;
  if (main.CreateSubKey(product, key) != qrv::platform::RegStatus::kOk) return false;
  const fs::path folder = work / "inst" / product;
  Discard(folder);
  fs::create_directories(folder);
  std::ofstream(folder / "main.bin") << "not a program image";
  key.SetString("Product", product);
  key.SetString("ProductName", "Qorvane " + product);
  key.SetString("Pidkey", "PID-" + product);
  key.SetString("FilePath", (folder / "main.bin").string());
  key.SetString("ProductPath", folder.string() + "/");
  key.SetDword("ProductVersion", 5);
  key.DeleteValue("ProductVersion_Bak");
  return true;
}

// Points the settings at a server (ServerType and ServerPath) and
// (re)installs products at level 5.
inline bool ResetMachine(const fs::path& work, uint32_t serverType, const std::string& serverPath,
                         const std::vector<std::string>& products, const fs::path& anchors) {
  qrv::platform::RegistryKey main;
  if (!OpenMain(main)) return false;
  Discard(work / "dl");
  // the engine takes only a download folder that is ours and writable by
  // nobody else, whatever the umask made it
  for (const fs::path& folder : {work / "dl", work / "dl" / "QRVDownload"}) {
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
  }
  main.SetString("DownloadPath", (work / "dl").string());
  main.SetString("ServerPath", serverPath);
  main.SetString("TrustAnchors", anchors.string());
  main.SetDword("ServerType", serverType);
  main.SetDword("UpdateState", 0);
  for (const std::string& p : products) {
    if (!Install(main, work, p)) return false;
  }
  return true;
}

// The served tree of the prepare benchmarks: qupdate_s.ini in served naming
// count products Prod000, Prod001, ...; every newerEvery-th of them (from
// the first) at level 6, the others at the installed level 5. Returns the
// product keys.
inline std::vector<std::string> ServeManyProducts(const fs::path& served, int count, int newerEvery) {
  fs::create_directories(served);
  std::vector<std::string> products;
  std::string info = "[VersionInfo]\n", levels = "[UpdateVersionInfo]\n";
  for (int i = 0; i < count; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "Prod%03d", i);
    products.emplace_back(name);
    const bool newer = i % newerEvery == 0;
    info += std::string(name) + "=" + (newer ? "6.0" : "5.0") + "\n";
    levels += std::string(name) + "=" + (newer ? "6" : "5") + "\n";
  }
  std::ofstream(served / "qupdate_s.ini") << info << levels;
  return products;
}

// The three products of RunBench.sh's 60 MiB update tree.
inline const std::vector<std::string> kRunProducts{"Alpha", "Beta", "Gamma"};

// text in single quotes, for a shell command line.
inline std::string Quoted(const std::string& text) { return "'" + text + "'"; }

inline double MiB(long kib) { return static_cast<double>(kib) / 1024.0; }

// A "Name:   123 kB" line of /proc/self/status, in KiB; -1 when missing.
inline long StatusKib(const char* name) {
  std::ifstream status("/proc/self/status");
  const size_t length = std::strlen(name);
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, length, name) == 0 && line.size() > length && line[length] == ':') {
      return std::atol(line.c_str() + length + 1);
    }
  }
  return -1;
}

// Whether QRV_BENCH_EXPLAIN=1 asks for what the figures are made of.
inline bool Explaining() {
  const char* value = std::getenv("QRV_BENCH_EXPLAIN");
  return value != nullptr && std::string(value) == "1";
}

}  // namespace qrv::bench
