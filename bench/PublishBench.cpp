// Building and signing a release of 200 MiB in 2,000 files with qrvpublish,
// against the same files packed by "gcab -c -z" and signed by "osslsigncode
// sign" (the tools a publisher would otherwise script), in one run. Both
// sign with the same RSA-2048 key made here by openssl; the source files are
// read once beforehand so neither side pays for the first read from disk.
// qrvpublish runs twice: as released (64 MiB cabinets, packed and signed on
// every core) and with one cabinet for the whole release, like the reference.
//
// Usage: qrv_bench_publish [FILES [MIB_IN_ALL]]   (default 2000 files, 200 MiB in all)
// Works below $TMPDIR in a private folder, removed at the end.
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/qrvpublish/ChildProcess.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool Run(const std::vector<std::string>& args, const fs::path& cwd = {}) {
  std::vector<std::string> all = args;
  if (!cwd.empty()) all = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", cwd.string()}, all.insert(all.end(), args.begin(), args.end());
  std::string out;
  const int status = qrv::tools::ChildProcess::Run(all, {}, out);
  if (status != 0) std::fprintf(stderr, "failed (%d): %s\n%s\n", status, args[0].c_str(), out.c_str());
  return status == 0;
}

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Text-like content (compresses about as well as program files and
// documents do), different in every file.
void MakeFiles(const fs::path& folder, int files, size_t bytes, std::vector<std::string>& names) {
  static const char* kWords[] = {"update", "cabinet", "qorvane", "writer", "signature", "folder",  "level",
                                 "product", "feature", "registry", "0x7f3a", "\x01\x02", "release", "vendor"};
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state]() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (int i = 0; i < files; ++i) {
    const std::string name = "dir" + std::to_string(i % 40) + "/file" + std::to_string(i) + ".bin";
    fs::create_directories((folder / name).parent_path());
    std::string data;
    data.reserve(bytes);
    while (data.size() < bytes) {
      const uint64_t r = next();
      if ((r & 7) == 0) {
        for (int k = 0; k < 8; ++k) data += static_cast<char>(next() & 0xff);
      } else {
        data += kWords[r % (sizeof kWords / sizeof kWords[0])];
        data += ' ';
      }
    }
    data.resize(bytes);
    std::ofstream(folder / name, std::ios::binary) << data;
    names.push_back(name);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 2000;
  const size_t mib = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 200;
  if (files <= 0 || mib == 0) return 2;
  std::string pattern = (fs::temp_directory_path() / "qrv-bench-publish-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  const fs::path work = pattern;

  /* the key, the files */
  const fs::path key = work / "signer.key", cert = work / "signer.pem";
  if (!Run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key.string(), "-out", cert.string(),
            "-days", "30", "-subj", "/O=QORVANE. INC, Ltd/CN=QORVANE. INC, Ltd", "-addext", "extendedKeyUsage=codeSigning"})) {
    return 1;
  }
  std::vector<std::string> names;
  MakeFiles(work / "src/product", files, (mib << 20) / static_cast<size_t>(files), names);
  std::vector<char> buffer(1 << 20);
  uint64_t total = 0;
  for (const std::string& n : names) {
    std::ifstream in(work / "src/product" / n, std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) total += static_cast<uint64_t>(in.gcount());
  }
  std::ofstream(work / "src/release.toml") << "[[product]]\nkey = \"Product\"\nversion = \"1.0\"\nlevel = 1\n"
                                              "[[product.feature]]\nname = \"Product\"\nsource = \"product\"\n";

  /* gcab -c -z + osslsigncode sign */
  std::vector<std::string> gcab{"gcab", "-c", "-z", (work / "ref.cab").string()};
  gcab.insert(gcab.end(), names.begin(), names.end());
  Clock::time_point start = Clock::now();
  if (!Run(gcab, work / "src/product")) return 1;
  const double packed = Seconds(start);
  if (!Run({"osslsigncode", "sign", "-certs", cert.string(), "-key", key.string(), "-h", "sha256", "-in",
            (work / "ref.cab").string(), "-out", (work / "ref.signed.cab").string()})) {
    return 1;
  }
  const double reference = Seconds(start);

  /* qrvpublish build */
  start = Clock::now();
  if (!Run({QRVPUBLISH_PATH, "build", (work / "src/release.toml").string(), (work / "tree").string(), "--cert",
            cert.string(), "--key", key.string()})) {
    return 1;
  }
  const double ours = Seconds(start);
  // The same with one cabinet for the whole release, as the reference makes:
  // no splitting, so no packing on several cores at once.
  start = Clock::now();
  if (!Run({QRVPUBLISH_PATH, "build", (work / "src/release.toml").string(), (work / "one").string(), "--cert",
            cert.string(), "--key", key.string(), "--cab-size", "1G"})) {
    return 1;
  }
  const double single = Seconds(start);
  uint64_t treeBytes = 0;
  int cabinets = 0;
  for (const auto& e : fs::recursive_directory_iterator(work / "tree")) {
    if (e.path().extension() == ".cab") {
      treeBytes += e.file_size();
      ++cabinets;
    }
  }

  std::printf("release: %d files, %.1f MiB\n", files, static_cast<double>(total) / (1 << 20));
  std::printf("gcab -c -z + osslsigncode sign:  %.2f s (gcab %.2f s), one cabinet of %.1f MiB\n", reference, packed,
              static_cast<double>(fs::file_size(work / "ref.signed.cab")) / (1 << 20));
  std::printf("qrvpublish build (signed tree):  %.2f s, %d cabinets of %.1f MiB in all\n", ours, cabinets,
              static_cast<double>(treeBytes) / (1 << 20));
  std::printf("qrvpublish build --cab-size 1G:  %.2f s, one cabinet\n", single);
  std::printf("ratio qrvpublish / reference:    %.2fx (target: at most 1.3x); with one cabinet %.2fx\n",
              ours / reference, single / reference);
  std::error_code ec;
  fs::remove_all(work, ec);
  return 0;
}
