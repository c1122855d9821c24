// Whole update runs through the engine, run by hand on a Release build:
//   cmake -S . -B build/e2e-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DQRV_BUILD_TESTS=OFF
//   cmake --build build/e2e-rel --target qrv_bench_run
//   build/e2e-rel/bench/qrv_bench_run bench/RunBench.sh [RUNS]
//
// (a) An interactive run updating three products from 60 MiB of signed
//     cabinets over loopback HTTP (prepare, download with signature checks,
//     copy, finalize) against RunBench.sh's curl + osslsigncode verify +
//     cabextract script doing the same work, alternating, RUNS (default 5)
//     times each; prints the medians and their ratio.
// (b) The prepare phase (service query, update information, the installed
//     products and the pending list) with 256 installed products; prints
//     the median of 21 runs.
//
// Works in a fresh folder below /tmp, which is also the system root (so the
// registry store is private), and removes it afterwards.
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/CQUpdateBaseProcess.h"
#include "app/CQUpdateDlgMgr.h"
#include "platform/core/MessageService.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/SystemRoot.h"
#include "platform/registry/RegistryKey.h"
#include "tests/support/HttpTestServer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using qrv::platform::RegistryKey;

double Ms(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// Nobody watches a benchmark: every question is answered OK, silently.
class SilentMessages : public qrv::platform::MessageService {
 public:
  int Show(uint32_t /*stringId*/, uint32_t /*buttons*/) override { return kAnswerOk; }
};

bool OpenMain(RegistryKey& main) {
  return RegistryKey::Create(qrv::platform::kRootLocalMachine, qrv::CQUpdateUtilRegistry::kMainKey, main) ==
         qrv::platform::RegStatus::kOk;
}

// A product as the installers record it, at level 5, with an empty folder.
bool Install(RegistryKey& main, const fs::path& work, const std::string& product) {
  RegistryKey key;
  if (main.CreateSubKey(product, key) != qrv::platform::RegStatus::kOk) return false;
  const fs::path folder = work / "inst" / product;
  fs::remove_all(folder);
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

// Points the settings at server and (re)installs products at level 5.
bool ResetMachine(const fs::path& work, const qrv::test::HttpTestServer& server,
                  const std::vector<std::string>& products) {
  RegistryKey main;
  if (!OpenMain(main)) return false;
  fs::remove_all(work / "dl");
  // the engine takes only a download folder that is ours and writable by
  // nobody else, whatever the umask made it
  for (const fs::path& folder : {work / "dl", work / "dl" / "QRVDownload"}) {
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
  }
  main.SetString("DownloadPath", (work / "dl").string());
  main.SetString("ServerPath", server.ServiceUrl());
  main.SetString("TrustAnchors", (work / "fx" / "anchors.pem").string());
  main.SetDword("ServerType", 1);
  main.SetDword("UpdateState", 0);
  for (const std::string& p : products) {
    if (!Install(main, work, p)) return false;
  }
  return true;
}

// Milliseconds of each phase of the last engine run: prepare, download, copy, finalize.
double g_phase[4];

// One interactive run of every phase; milliseconds, or -1 when a phase failed.
double EngineRun(std::vector<std::string> products) {
  qrv::CQUpdateBaseProcess process;
  process.SetAutoMode(0);
  process.SetDlgMgr(std::make_unique<qrv::CQUpdateDlgMgr>());
  qrv::CQUpdateDlgMgr& window = *process.DlgMgr();
  const auto start = Clock::now();
  if (!window.UpdatePrepare(0) || window.ProductList() == nullptr || window.ProductList()->size() != products.size()) {
    std::fprintf(stderr, "prepare found %zu products\n", window.ProductList() ? window.ProductList()->size() : 0);
    return -1;
  }
  g_phase[0] = Ms(start);
  if (const int32_t r = window.UpdateDownload(products); r != 1) {
    std::fprintf(stderr, "download result %d\n", r);
    return -1;
  }
  g_phase[1] = Ms(start) - g_phase[0];
  window.UpdateWait();
  if (const int32_t r = window.UpdateCopyFile(); r != 1) {
    std::fprintf(stderr, "copy result %d\n", r);
    return -1;
  }
  g_phase[2] = Ms(start) - g_phase[0] - g_phase[1];
  window.UpdateFinalize();
  window.UpdateFinish(0);
  const double total = Ms(start);
  g_phase[3] = total - g_phase[0] - g_phase[1] - g_phase[2];
  return total;
}

int BenchRun(const fs::path& work, const std::string& script, int runs) {
  const std::vector<std::string> products{"Alpha", "Beta", "Gamma"};
  qrv::test::HttpTestServer server(work / "srv");
  if (server.Port() == 0) {
    std::fprintf(stderr, "the loopback HTTP server did not start: %s\n", server.Error().c_str());
    return 1;
  }
  std::vector<double> engine, reference;
  for (int i = 0; i < runs; ++i) {
    if (!ResetMachine(work, server, products)) {
      std::fprintf(stderr, "cannot write the settings below %s\n", work.c_str());
      return 1;
    }
    const double e = EngineRun(products);
    if (e < 0) return 1;
    std::error_code ec;
    for (const std::string& p : products) {
      std::string lower = p;
      std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
      if (fs::file_size(work / "inst" / p / lower / "part4.bin", ec) != (5u << 20)) {
        std::fprintf(stderr, "%s was not unpacked into %s\n", p.c_str(), (work / "inst" / p).c_str());
        return 1;
      }
    }
    fs::remove_all(work / "ref");
    const auto start = Clock::now();
    const std::string command = "bash " + Quoted(script) + " reference " + Quoted(server.FilesUrl()) + " " +
                                Quoted((work / "fx" / "anchors.pem").string()) + " " + Quoted((work / "ref").string());
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "the reference script failed: %s\n", command.c_str());
      return 1;
    }
    const double r = Ms(start);
    engine.push_back(e);
    reference.push_back(r);
    std::printf("run %d: engine %8.1f ms (prepare %.1f, download %.1f, copy %.1f, finalize %.1f)   "
                "curl+osslsigncode+cabextract %8.1f ms\n",
                i + 1, e, g_phase[0], g_phase[1], g_phase[2], g_phase[3], r);
  }
  const double e = Median(engine), r = Median(reference);
  std::printf("(a) 3 products, 60 MiB: median engine %.1f ms, script %.1f ms, ratio %.2f (target <= 1.30)\n", e, r,
              e / r);
  return 0;
}

int BenchPrepare(const fs::path& work) {
  constexpr int kProducts = 256;
  constexpr int kRuns = 21;
  // a registry of its own, so only these products are installed
  qrv::platform::SystemRoot::Set(work / "root256");
  const fs::path served = work / "srv256";
  fs::create_directories(served);
  std::vector<std::string> products;
  std::string info = "[VersionInfo]\n", levels = "[UpdateVersionInfo]\n";
  for (int i = 0; i < kProducts; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "Prod%03d", i);
    products.emplace_back(name);
    // every other product has something newer
    info += std::string(name) + "=" + (i % 2 == 0 ? "6.0" : "5.0") + "\n";
    levels += std::string(name) + "=" + (i % 2 == 0 ? "6" : "5") + "\n";
  }
  std::ofstream(served / "qupdate_s.ini") << info << levels;
  qrv::test::HttpTestServer server(served);
  if (server.Port() == 0 || !ResetMachine(work, server, products)) {
    std::fprintf(stderr, "cannot set up the prepare benchmark: %s\n", server.Error().c_str());
    return 1;
  }
  std::vector<double> times;
  for (int i = 0; i < kRuns; ++i) {
    qrv::CQUpdateBaseProcess process;
    process.SetAutoMode(0);
    process.SetDlgMgr(std::make_unique<qrv::CQUpdateDlgMgr>());
    const auto start = Clock::now();
    const bool ok = process.DlgMgr()->UpdatePrepare(0);
    times.push_back(Ms(start));
    const size_t found = process.DlgMgr()->ProductList() ? process.DlgMgr()->ProductList()->size() : 0;
    if (!ok || found != kProducts / 2) {
      std::fprintf(stderr, "prepare found %zu products, expected %d\n", found, kProducts / 2);
      return 1;
    }
  }
  std::printf("(b) prepare with %d installed products: median %.1f ms, min %.1f ms (target < 300)\n", kProducts,
              Median(times), *std::min_element(times.begin(), times.end()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PATH/TO/RunBench.sh [RUNS]\n", argv[0]);
    return 2;
  }
  const std::string script = fs::absolute(argv[1]).string();
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::string pattern = "/tmp/qrv-bench-run-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path work = pattern;
  qrv::platform::SystemRoot::Set(work / "root");
  qrv::platform::MessageService::Install(std::make_shared<SilentMessages>());

  int rc = std::system(("bash " + Quoted(script) + " prepare " + Quoted(work.string())).c_str()) == 0 ? 0 : 1;
  if (rc != 0) std::fprintf(stderr, "preparing the served tree in %s failed\n", work.c_str());
  if (rc == 0) rc = BenchRun(work, script, runs);
  if (rc == 0) rc = BenchPrepare(work);

  qrv::platform::MessageService::Install(nullptr);
  std::error_code ec;
  fs::remove_all(work, ec);
  return rc;
}
