// Applying updates against cabextract, run by hand on a Release build:
//   cmake -S . -B build/eng-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DQRV_BUILD_TESTS=OFF
//   cmake --build build/eng-rel --target qrv_bench_apply
//   build/eng-rel/bench/qrv_bench_apply [CABINETS]
// In a fresh private folder below $TMPDIR (or /tmp), with that folder as the
// system root: makes a throwaway PKI with tests/support/make_signed_cabinets.sh
// (its root CA is what the TrustAnchors setting names, its maker certificate
// carries O and CN "QORVANE. INC, Ltd"), makes CABINETS (default 1000)
// cabinets of one 10 KiB file each (gcab) and signs each as the maker
// (osslsigncode), writes the update log and qupdate_s.ini for one product
// directly, and times CQUpdateApplier::ApplyUpdates() over them against a
// shell loop of `cabextract -q -d DIR` over the same files. Our side checks
// each cabinet's Authenticode signature and signer on the open file before
// unpacking it; cabextract checks no signature (its warning about the bytes
// the signature adds is discarded). Then times CleanDownloadFolder() over
// 10,000 files. Prints the figures and ratios; removes everything after.
// Making and signing the cabinets is not timed.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "apply/CQUpdateApplier.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/SystemRoot.h"
#include "platform/core/TempFolder.h"
#include "platform/registry/RegistryKey.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool Shell(const std::string& script) { return std::system(script.c_str()) == 0; }

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// A folder the applier accepts as its download folder whatever the umask:
// ours and writable by nobody else.
void MakePrivate(const fs::path& folder) {
  fs::create_directories(folder);
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
}

}  // namespace

int main(int argc, char** argv) {
  const int cabinets = argc > 1 ? std::atoi(argv[1]) : 1000;
  if (cabinets <= 0) {
    std::fprintf(stderr, "usage: %s [CABINETS]\n", argv[0]);
    return 2;
  }
  std::string pattern = qrv::platform::TempFolder::Get() + "qrv-bench-apply-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path work = pattern;
  const fs::path download = work / "dl" / "QRVDownload";
  const fs::path install = work / "inst" / "Bench";
  const fs::path reference = work / "ref";
  const fs::path pki = work / "fx";
  MakePrivate(work / "dl");
  MakePrivate(download);
  fs::create_directories(install);
  fs::create_directories(reference);
  qrv::platform::SystemRoot::Set(work / "root");

  using qrv::platform::RegistryKey;
  RegistryKey main;
  RegistryKey product;
  if (RegistryKey::Create(qrv::platform::kRootLocalMachine, qrv::CQUpdateUtilRegistry::kMainKey, main) !=
          qrv::platform::RegStatus::kOk ||
      main.CreateSubKey("Bench", product) != qrv::platform::RegStatus::kOk) {
    std::fprintf(stderr, "cannot create the registry keys below %s\n", (work / "root").c_str());
    return 1;
  }
  main.SetString("DownloadPath", (work / "dl").string());
  main.SetString("TrustAnchors", (pki / "anchors.pem").string());
  product.SetString("ProductPath", install.string() + "/");
  product.SetDword("ProductVersion", 1);

  std::printf("making %d signed cabinets of 10 KiB in %s ...\n", cabinets, work.c_str());
  if (!Shell("bash " + Quoted(fs::path(QRV_SOURCE_DIR) / "tests" / "support" / "make_signed_cabinets.sh") + " " +
             Quoted(pki) + " >/dev/null")) {
    std::fprintf(stderr, "making the signing certificates in %s failed (openssl, gcab, osslsigncode installed?)\n",
                 pki.c_str());
    return 1;
  }
  const std::string sign = "osslsigncode sign -certs " + Quoted(pki / "pki" / "maker.chain.pem") + " -key " +
                           Quoted(pki / "pki" / "maker.key") + " -h sha256";
  const std::string make = "cd " + Quoted(download) + " && i=0; while [ $i -lt " + std::to_string(cabinets) +
                           " ]; do mkdir -p s$i && head -c 10240 /dev/urandom > s$i/file$i.bin && "
                           "(cd s$i && gcab -c ../u$i.cab file$i.bin) && " + sign +
                           " -in u$i.cab -out c$i.cab >/dev/null && rm -r s$i u$i.cab || exit 1; i=$((i+1)); done";
  if (!Shell(make)) {
    std::fprintf(stderr, "making or signing the cabinets in %s failed\n", download.c_str());
    return 1;
  }
  {
    std::ofstream log(download / "quplog.ini");
    log << "[PRODUCTLIST]\nCOUNT=1\nPRODUCT0=Bench\n[Bench]\nCOUNT=" << cabinets << "\n";
    for (int i = 0; i < cabinets; ++i) {
      log << "FILE" << i << "=c" << i << ".cab\nFILE" << i << "TEMPPATH=" << (download / ("c" + std::to_string(i))).string()
          << ".cab\n";
    }
    std::ofstream info(download / "qupdate_s.ini");
    info << "[UpdateVersionInfo]\nBench=2\n";
  }

  Clock::time_point start = Clock::now();
  qrv::CQUpdateApplier applier;
  const qrv::CopyResult applied = applier.ApplyUpdates();
  const double ours = Seconds(start);

  start = Clock::now();
  bool extracted = Shell("cd " + Quoted(download) + " && for f in c*.cab; do cabextract -q -d " + Quoted(reference) +
                         " \"$f\" 2>/dev/null || exit 1; done");
  const double theirs = Seconds(start);
  size_t installedFiles = 0;
  for (const auto& entry : fs::directory_iterator(install)) installedFiles += entry.is_regular_file() ? 1 : 0;

  std::printf("ApplyUpdates:      %d cabinets in %.3f s (%.2f ms each), result %d, %zu files installed\n", cabinets,
              ours, 1000.0 * ours / cabinets, qrv::ToCode(applied), installedFiles);
  if (applied != qrv::CopyResult::kDone) std::printf("ApplyUpdates failed: %s\n", applier.FailureReason().c_str());
  std::printf("cabextract loop:   %d cabinets in %.3f s (%.2f ms each)%s\n", cabinets, theirs,
              1000.0 * theirs / cabinets, extracted ? "" : " (FAILED)");
  std::printf("ratio ApplyUpdates / cabextract: %.2f (target <= 2)\n", ours / theirs);

  // The clean-up: 10,000 files, a tenth of them in a sub-folder.
  const fs::path clean = work / "clean" / "QRVDownload";
  MakePrivate(work / "clean");
  MakePrivate(clean);
  fs::create_directories(clean / "Tmp");
  for (int i = 0; i < 10000; ++i) {
    std::ofstream(clean / (i % 10 == 0 ? "Tmp" : ".") / ("f" + std::to_string(i) + ".cab")) << i;
  }
  std::ofstream(clean / "quplog.ini") << "[PRODUCTLIST]\n";
  main.SetString("DownloadPath", (work / "clean").string());
  start = Clock::now();
  applier.CleanDownloadFolder();
  const double cleaning = Seconds(start);
  size_t left = 0;
  for (const auto& entry : fs::directory_iterator(clean)) left += entry.exists() ? 1 : 0;
  std::printf("CleanDownloadFolder: 10000 files in %.3f s (target < 1 s), %zu entries left (quplog.ini)\n", cleaning,
              left);

  main.Close();
  product.Close();
  std::error_code ec;
  fs::remove_all(work, ec);
  return applied == qrv::CopyResult::kDone && extracted && installedFiles == static_cast<size_t>(cabinets) && left == 1 ? 0 : 1;
}
