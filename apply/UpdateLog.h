#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qrv {

// The update log quplog.ini in the download folder: which products a run
// fetched and, per feature, which files wait in the download folder and how
// their fetch ended. The hand-over between the download and the later phases.
//
// Entry kinds: 0 "FILE" (fetched, signature accepted), 2 "ERROR" (not
// fetched), 3 "DIGITALSIGNERROR" (signature refused). A "FILE" entry fetched
// under signed update information also has FILEiSIZE and FILEiSHA256, what
// the information lists for it, checked again when it is unpacked. Count kinds: 0 "COUNT",
// 1 "SKIPCOUNT", anything else "ERRCOUNT".
//
// Thread: any; each call reads or writes the file once (a write replaces
// the whole file and flushes it to disk: a run of writes goes through
// UpdateLogWriter instead, which does that once for all of them).
class UpdateLog {
 public:
  static constexpr uint32_t kFile = 0;
  static constexpr uint32_t kError = 2;
  static constexpr uint32_t kSignError = 3;
  static constexpr uint32_t kCount = 0;
  static constexpr uint32_t kSkipCount = 1;
  static constexpr uint32_t kErrorCount = 2;

  // Writes COUNT / SKIPCOUNT / ERRCOUNT = count in section.
  static void WriteLogCount(std::string_view section, uint32_t count, uint32_t kind);
  // Writes KINDindex = relative path and, when fullPath is given,
  // KINDindexTEMPPATH = full path; returns index.
  static uint32_t WriteLogEntry(std::string_view section, std::string_view relativePath, uint32_t index,
                                uint32_t kind, std::optional<std::string_view> fullPath);
  // Writes PRODUCTindex = product in section PRODUCTLIST.
  static void WriteLogProduct(std::string_view product, uint32_t index);

  // Readers, with the readers' defaults (0 and empty).
  static uint32_t ProductCount();
  static std::string Product(uint32_t index);
  static uint32_t FileCount(std::string_view feature);
  static std::string FileEntry(std::string_view feature, uint32_t index);      // FILEi
  static std::string FileTempPath(std::string_view feature, uint32_t index);   // FILEiTEMPPATH
};

}  // namespace qrv
