// Fuzz target for cabinet extraction: each input is written as a cabinet file
// in a private folder, checked with IsCabinet(), listed and extracted (with a
// small size limit) into a second folder, and everything is removed again.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cabinet/CExtract.h"
#include "platform/core/TempFolder.h"

namespace {

// One private folder per process, below $TMPDIR; removed at exit.
class FuzzFolder {
 public:
  FuzzFolder() {
    std::string base = qrv::platform::TempFolder::Get() + "qrv-fuzz-cabinet-XXXXXX";
    if (mkdtemp(base.data()) == nullptr) {
      std::perror("cannot make the fuzz folder");
      std::abort();
    }
    m_path = base;
  }
  ~FuzzFolder() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  FuzzFolder(const FuzzFolder&) = delete;
  FuzzFolder& operator=(const FuzzFolder&) = delete;
  const std::filesystem::path& Path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

constexpr uint64_t kSizeLimit = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzFolder folder;
  const std::filesystem::path cabinet = folder.Path() / "input.cab";
  const std::filesystem::path target = folder.Path() / "out";
  {
    std::ofstream out(cabinet, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
  }

  Cabinet::CExtract extract;
  if (extract.CreateFDIContext() != 1) std::abort();
  Cabinet::CabinetInfo info;
  const int isCabinet = extract.IsCabinet(cabinet.string(), &info);
  std::vector<Cabinet::CabinetEntry> entries;
  extract.ListFiles(cabinet.string(), entries);
  extract.SetSizeLimit(kSizeLimit);
  const int extracted = extract.ExtractFile(cabinet.string(), target.string());
  // The outcome and the last error must agree, and nothing is extracted
  // from a file that is not a cabinet.
  if ((extracted == 1) != (extract.GetLastError() == 0)) std::abort();
  if (extracted == 1 && isCabinet == 0) std::abort();

  // Files may be left read-only; removal only needs the folders writable.
  std::error_code ec;
  std::filesystem::remove_all(target, ec);
  if (ec) {
    for (auto it = std::filesystem::recursive_directory_iterator(target, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                   ec);
    }
    std::filesystem::remove_all(target, ec);
  }
  std::filesystem::remove(cabinet, ec);
  return 0;
}
