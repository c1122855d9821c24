// Settings and registry store timings, run by hand on a Release build:
//   build/rel/bench/qrv_bench_settings
// Works in a fresh folder below $TMPDIR (or /tmp) and removes it afterwards.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "config/CQUpdateMgrEnv.h"
#include "platform/core/SystemRoot.h"
#include "platform/core/TempFolder.h"
#include "platform/registry/RegistryKey.h"
#include "platform/registry/RegistryStore.h"

namespace {

using Clock = std::chrono::steady_clock;
using qrv::platform::RegistryKey;
using qrv::platform::RegStatus;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double TimeMs(const std::function<void()>& f) {
  auto start = Clock::now();
  f();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main() {
  std::string base = qrv::platform::TempFolder::Get() + "qrv-bench-XXXXXX";
  if (mkdtemp(base.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  std::filesystem::path root = base;
  qrv::platform::SystemRoot::Set(root);
  std::filesystem::create_directories(root / "opt");
  std::string mainFile = (root / "opt/main.bin").string();
  std::ofstream(mainFile) << "x";

  constexpr int kProducts = 256;
  {
    RegistryKey main;
    if (RegistryKey::Create(qrv::platform::kRootLocalMachine, "SOFTWARE\\QRV\\Shared\\QrvUpdate", main) !=
        RegStatus::kOk) {
      std::fprintf(stderr, "cannot create the store below %s\n", base.c_str());
      return 1;
    }
    for (int i = 0; i < kProducts; ++i) {
      std::string name = "Product" + std::to_string(i);
      RegistryKey sub;
      main.CreateSubKey(name, sub);
      sub.SetString("Product", name);
      sub.SetString("ProductName", "Qorvane " + name);
      sub.SetString("Pidkey", name + "-PID");
      sub.SetString("FilePath", mainFile);
      sub.SetString("ProductPath", (root / "opt").string());
      sub.SetDword("ProductVersion", 3);
    }
  }

  qrv::CQUpdateMgrEnv env;
  auto listAndRead = [&] {
    std::vector<qrv::tagUPDATETYPE> products;
    env.GetInstalledProducts(products, "SOFTWARE\\QRV\\Shared\\QrvUpdate");
    for (const auto& p : products) {
      (void)env.GetProductName(p.product);
      (void)env.GetPidkey(p.product);
      (void)env.GetProductFilePath(p.product);
      (void)env.GetProductPath(p.product);
      (void)env.GetProductVersion(p.product);
    }
    if (products.size() != kProducts) std::fprintf(stderr, "expected %d products, got %zu\n", kProducts, products.size());
  };

  constexpr int kRuns = 21;
  std::vector<double> warm, cold;
  for (int i = 0; i < kRuns; ++i) warm.push_back(TimeMs(listAndRead));
  // For comparison: a store connection opened and checked for every single
  // registry operation, as if nothing were cached between calls.
  for (int i = 0; i < 5; ++i) {
    cold.push_back(TimeMs([&] {
      std::vector<qrv::tagUPDATETYPE> products;
      qrv::platform::RegistryStore::ReleaseThreadConnections();
      env.GetInstalledProducts(products, "SOFTWARE\\QRV\\Shared\\QrvUpdate");
      for (const auto& p : products) {
        qrv::platform::RegistryStore::ReleaseThreadConnections();
        (void)env.GetProductName(p.product);
        qrv::platform::RegistryStore::ReleaseThreadConnections();
        (void)env.GetPidkey(p.product);
        qrv::platform::RegistryStore::ReleaseThreadConnections();
        (void)env.GetProductFilePath(p.product);
        qrv::platform::RegistryStore::ReleaseThreadConnections();
        (void)env.GetProductPath(p.product);
        qrv::platform::RegistryStore::ReleaseThreadConnections();
        (void)env.GetProductVersion(p.product);
      }
    }));
  }

  std::vector<double> writes;
  for (int i = 0; i < 200; ++i) writes.push_back(TimeMs([&] { env.SetUpdateState(static_cast<uint32_t>(i)); }));

  std::printf("GetInstalledProducts(256) + 5 reads/product, median of %d: %.2f ms (target < 100 ms: %.3fx)\n", kRuns,
              Median(warm), Median(warm) / 100.0);
  std::printf("  same with a new store connection per operation, median of 5: %.2f ms (%.1fx slower)\n",
              Median(cold), Median(cold) / Median(warm));
  std::printf("durable write (SetUpdateState), median of 200: %.3f ms\n", Median(writes));

  qrv::platform::RegistryStore::ReleaseThreadConnections();
  std::filesystem::remove_all(root);
  return 0;
}
