// Whole update runs through the engine, run by hand on a Release build:
//   cmake -S . -B build/e2e-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DQRV_BUILD_TESTS=OFF
//   cmake --build build/e2e-rel --target qrv_bench_run
//   build/e2e-rel/bench/qrv_bench_run bench/RunBench.sh [RUNS [CASES [COUNTS]]]
//
// (a) An interactive run updating three products from 60 MiB of signed
//     cabinets over loopback HTTP (prepare, download with signature checks,
//     copy, finalize) against RunBench.sh's curl + osslsigncode verify +
//     cabextract script doing the same work, alternating, RUNS (default 9)
//     times each; prints the medians and their ratio.
// (b) The prepare phase (service query, update information, the installed
//     products and the pending list) with 256 installed products; prints
//     the median of 21 runs.
// (c) Many small files: one product listing COUNTS (default 500,1000,2000)
//     signed cabinets of about 4 KiB, each unpacking a file of its own, as
//     an interactive run from a network folder (a local folder, server type
//     2) and over loopback HTTP, each against the shell loop of RunBench.sh
//     (per file one cp or curl, one osslsigncode verify, one cabextract),
//     one run each, alternating; prints the times, the ratios and the cost
//     per file at each count, which shows whether the run grows linearly.
//
// (d) The run of (a) from the same tree unsigned and as signed update
//     information, alternating, RUNS times each; prints the medians and
//     the ratio signed / unsigned.
//
// CASES picks the cases by letter (default "abc"). QRV_BENCH_SMALL_DIR=DIR
// keeps the signed small cabinets (and their PKI) in DIR between runs, as
// signing 2,000 of them takes minutes; QRV_BENCH_ENGINE_ONLY=1 skips the
// reference scripts (for profiling the engine alone).
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
#include <set>
#include <string>
#include <vector>

#include "app/CQUpdateBaseProcess.h"
#include "app/CQUpdateDlgMgr.h"
#include "bench/BenchSetup.h"
#include "platform/core/MessageService.h"
#include "platform/core/SystemRoot.h"
#include "tests/support/HttpTestServer.h"

namespace {

namespace fs = std::filesystem;
using qrv::bench::Clock;
using qrv::bench::Discard;
using qrv::bench::EmptyTrash;
using qrv::bench::Median;
using qrv::bench::Ms;
using qrv::bench::ResetMachine;
using qrv::bench::ServeManyProducts;
using qrv::bench::SilentMessages;

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

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

int BenchRun(const fs::path& work, const std::string& script, int runs, bool withReference) {
  const std::vector<std::string> products{"Alpha", "Beta", "Gamma"};
  qrv::test::HttpTestServer server(work / "srv");
  if (server.Port() == 0) {
    std::fprintf(stderr, "the loopback HTTP server did not start: %s\n", server.Error().c_str());
    return 1;
  }
  std::vector<double> engine, reference, phases[4];
  for (int i = 0; i < runs; ++i) {
    if (!ResetMachine(work, 1, server.ServiceUrl(), products, work / "fx" / "anchors.pem")) {
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
    for (int k = 0; k < 4; ++k) phases[k].push_back(g_phase[k]);
    engine.push_back(e);
    double r = 0;
    if (withReference) {
      Discard(work / "ref");
      const auto start = Clock::now();
      const std::string command = "bash " + Quoted(script) + " reference " + Quoted(server.FilesUrl()) + " " +
                                  Quoted((work / "fx" / "anchors.pem").string()) + " " +
                                  Quoted((work / "ref").string());
      if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "the reference script failed: %s\n", command.c_str());
        return 1;
      }
      r = Ms(start);
    }
    reference.push_back(r);
    // a few large files: nothing to fear from deleting them at once
    EmptyTrash();
    std::printf("run %d: engine %8.1f ms (prepare %.1f, download %.1f, copy %.1f, finalize %.1f)   "
                "curl+osslsigncode+cabextract %8.1f ms\n",
                i + 1, e, g_phase[0], g_phase[1], g_phase[2], g_phase[3], r);
  }
  const double e = Median(engine), r = Median(reference);
  std::printf("(a) 3 products, 60 MiB: median engine %.1f ms (prepare %.1f, download %.1f, copy %.1f, finalize "
              "%.1f), script %.1f ms, ratio %.2f (target <= 1.00)\n",
              e, Median(phases[0]), Median(phases[1]), Median(phases[2]), Median(phases[3]), r, r > 0 ? e / r : 0.0);
  return 0;
}

// (d) The same interactive run from the same tree unsigned and as signed
// update information (each information file's signature checked, each
// cabinet's size and hash checked on download and again before it is
// unpacked), alternating, RUNS times each.
int BenchSignedInfo(const fs::path& work, const std::string& script, int runs) {
  if (std::system(("bash " + Quoted(script) + " sign " + Quoted(work.string())).c_str()) != 0) {
    std::fprintf(stderr, "signing the served tree in %s failed\n", work.c_str());
    return 1;
  }
  const std::vector<std::string> products{"Alpha", "Beta", "Gamma"};
  qrv::test::HttpTestServer plain(work / "srv");
  qrv::test::HttpTestServer signedTree(work / "srv-signed");
  if (plain.Port() == 0 || signedTree.Port() == 0) {
    std::fprintf(stderr, "the loopback HTTP servers did not start: %s %s\n", plain.Error().c_str(),
                 signedTree.Error().c_str());
    return 1;
  }
  std::vector<double> times[2];
  for (int i = 0; i < runs; ++i) {
    for (int s = 0; s < 2; ++s) {
      qrv::test::HttpTestServer& server = s == 0 ? plain : signedTree;
      if (!ResetMachine(work, 1, server.ServiceUrl(), products, work / "fx" / "anchors.pem")) return 1;
      // the unsigned tree is taken only by a machine that never took a signed one
      qrv::platform::RegistryKey main;
      if (!qrv::bench::OpenMain(main) || main.SetDword("HighestReleaseSerial", 0) != qrv::platform::RegStatus::kOk) {
        return 1;
      }
      const double e = EngineRun(products);
      if (e < 0) return 1;
      times[s].push_back(e);
      EmptyTrash();
    }
    std::printf("run %d: unsigned %8.1f ms, signed %8.1f ms\n", i + 1, times[0].back(), times[1].back());
  }
  const double u = Median(times[0]), g = Median(times[1]);
  std::printf("(d) 3 products, 60 MiB: median unsigned %.1f ms, signed information %.1f ms, ratio %.3f\n", u, g,
              u > 0 ? g / u : 0.0);
  return 0;
}

int BenchPrepare(const fs::path& work) {
  constexpr int kProducts = 256;
  constexpr int kRuns = 21;
  // a registry of its own, so only these products are installed
  qrv::platform::SystemRoot::Set(work / "root256");
  const fs::path served = work / "srv256";
  // every other product has something newer
  const std::vector<std::string> products = ServeManyProducts(served, kProducts, 2);
  qrv::test::HttpTestServer server(served);
  if (server.Port() == 0 || !ResetMachine(work, 1, server.ServiceUrl(), products, work / "fx" / "anchors.pem")) {
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

// The served tree of (c): qupdate_s.ini and Small.ini listing the first
// count cabinets of cab/.
void ListSmall(const fs::path& served, int count) {
  std::ofstream(served / "qupdate_s.ini") << "[VersionInfo]\nSmall=6.0\n[UpdateVersionInfo]\nSmall=6\n[COUNT]\nSmall="
                                          << count << "\n";
  std::ofstream list(served / "Small.ini");
  list << "[Small]\nSmallCOUNT=" << count << "\n";
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "cab/c%04d.cab", i);
    list << "Small" << i << "FILE=" << name << "\n";
  }
}

size_t CountFiles(const fs::path& folder) {
  std::error_code ec;
  size_t n = 0;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) ++n;
  return n;
}

int BenchSmallFiles(const fs::path& work, const std::string& script, const std::vector<int>& counts,
                    bool withReference) {
  const int most = *std::max_element(counts.begin(), counts.end());
  const char* kept = std::getenv("QRV_BENCH_SMALL_DIR");
  const fs::path served = kept != nullptr && *kept != '\0' ? fs::absolute(kept) : work / "small";
  const fs::path anchors = served / "fx" / "anchors.pem";
  const auto signStart = Clock::now();
  if (std::system(("bash " + Quoted(script) + " prepare-small " + Quoted(served.string()) + " " +
                   std::to_string(most)).c_str()) != 0) {
    std::fprintf(stderr, "signing %d small cabinets in %s failed\n", most, served.c_str());
    return 1;
  }
  std::printf("(c) %d small cabinets ready in %s (%.1f s)\n", most, served.c_str(), Ms(signStart) / 1000);
  // a registry of its own, so only this product is installed
  qrv::platform::SystemRoot::Set(work / "rootsmall");
  qrv::test::HttpTestServer server(served);
  if (server.Port() == 0) {
    std::fprintf(stderr, "the loopback HTTP server did not start: %s\n", server.Error().c_str());
    return 1;
  }
  const std::vector<std::string> products{"Small"};
  struct Row {
    int count;
    double folder, http, cpLoop, curlLoop;
  };
  std::vector<Row> rows;
  for (const int count : counts) {
    ListSmall(served, count);
    Row row{count, 0, 0, 0, 0};
    for (const bool http : {false, true}) {
      const std::string path = http ? server.ServiceUrl() : served.string();
      if (!ResetMachine(work, http ? 1 : 2, path, products, anchors)) {
        std::fprintf(stderr, "cannot write the settings below %s\n", work.c_str());
        return 1;
      }
      const double e = EngineRun(products);
      if (e < 0) return 1;
      if (const size_t n = CountFiles(work / "inst" / "Small" / "small"); n != static_cast<size_t>(count)) {
        std::fprintf(stderr, "the engine unpacked %zu of %d files\n", n, count);
        return 1;
      }
      (http ? row.http : row.folder) = e;
      std::printf("    %4d files, engine from %-6s %9.1f ms (prepare %.1f, download %.1f, copy %.1f, finalize %.1f)\n",
                  count, http ? "HTTP" : "folder", e, g_phase[0], g_phase[1], g_phase[2], g_phase[3]);
      if (!withReference) continue;
      Discard(work / "ref");
      const auto start = Clock::now();
      const std::string command = "bash " + Quoted(script) + " loop-small " +
                                  Quoted(http ? server.FilesUrl() : served.string()) + " " + std::to_string(count) +
                                  " " + Quoted(anchors.string()) + " " + Quoted((work / "ref").string());
      if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "the shell loop failed: %s\n", command.c_str());
        return 1;
      }
      (http ? row.curlLoop : row.cpLoop) = Ms(start);
      if (const size_t n = CountFiles(work / "ref" / "inst" / "small"); n != static_cast<size_t>(count)) {
        std::fprintf(stderr, "the shell loop unpacked %zu of %d files\n", n, count);
        return 1;
      }
      std::printf("    %4d files, shell loop with %-4s %9.1f ms\n", count, http ? "curl" : "cp",
                  http ? row.curlLoop : row.cpLoop);
    }
    rows.push_back(row);
  }
  std::printf("(c) one product of N signed 4 KiB cabinets (ms per file; ratios to the cp loop, target <= 0.50)\n");
  std::printf("    %5s %12s %12s %12s %12s %12s %12s %12s\n", "N", "folder", "HTTP", "cp loop", "curl loop",
              "folder/cp", "HTTP/cp", "HTTP/curl");
  for (const Row& row : rows) {
    auto per = [&row](double ms) { return ms / row.count; };
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("    %5d %12.2f %12.2f %12.2f %12.2f %12.2f %12.2f %12.2f\n", row.count, per(row.folder),
                per(row.http), per(row.cpLoop), per(row.curlLoop), ratio(row.folder, row.cpLoop),
                ratio(row.http, row.cpLoop), ratio(row.http, row.curlLoop));
  }
  return 0;
}

std::vector<int> ParseCounts(const char* text) {
  std::vector<int> counts;
  for (const char* p = text; *p != '\0';) {
    char* end = nullptr;
    const long n = std::strtol(p, &end, 10);
    if (end == p) break;
    if (n > 0 && n <= 9999) counts.push_back(static_cast<int>(n));
    p = *end == ',' ? end + 1 : end;
  }
  return counts;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PATH/TO/RunBench.sh [RUNS [CASES [COUNTS]]]\n", argv[0]);
    return 2;
  }
  // progress shows as it comes, also when the output goes to a file
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string script = fs::absolute(argv[1]).string();
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;
  const std::string cases = argc > 3 ? argv[3] : "abc";
  const std::vector<int> counts = ParseCounts(argc > 4 ? argv[4] : "500,1000,2000");
  const char* engineOnly = std::getenv("QRV_BENCH_ENGINE_ONLY");
  const bool withReference = engineOnly == nullptr || std::string(engineOnly) != "1";
  if (counts.empty()) {
    std::fprintf(stderr, "COUNTS is a list like 500,1000,2000 (1 to 9999 each)\n");
    return 2;
  }
  std::string pattern = "/tmp/qrv-bench-run-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path work = pattern;
  qrv::platform::SystemRoot::Set(work / "root");
  qrv::platform::MessageService::Install(std::make_shared<SilentMessages>());

  const auto wanted = [&cases](char c) { return cases.find(c) != std::string::npos; };
  int rc = 0;
  if (wanted('a') || wanted('b') || wanted('d')) {
    rc = std::system(("bash " + Quoted(script) + " prepare " + Quoted(work.string())).c_str()) == 0 ? 0 : 1;
    if (rc != 0) std::fprintf(stderr, "preparing the served tree in %s failed\n", work.c_str());
  }
  if (rc == 0 && wanted('a')) rc = BenchRun(work, script, runs, withReference);
  if (rc == 0 && wanted('b')) rc = BenchPrepare(work);
  if (rc == 0 && wanted('c')) rc = BenchSmallFiles(work, script, counts, withReference);
  if (rc == 0 && wanted('d')) rc = BenchSignedInfo(work, script, runs);

  qrv::platform::MessageService::Install(nullptr);
  std::error_code ec;
  fs::remove_all(work, ec);
  return rc;
}
