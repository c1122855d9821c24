#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/profile/ProfileFile.h"

namespace qrv {

// Writes of the update log (see UpdateLog for its entries) gathered in memory
// and put into the file in one go. The download records two entries per
// fetched file; writing each on its own rewrote the whole log and flushed it
// to disk every time, so a list of n files cost n rewrites of a file growing
// to n entries. Here the file is written once per Flush(), whatever the
// number of entries.
//
// What is pending is in no file: whoever reads the log (the copy phase, a
// resumed run) must come after a Flush() that returned true. The file is
// then replaced atomically and flushed to disk (ProfileFile::WriteStrings),
// so a crash leaves the log as of the last Flush(), never a mix.
//
// Thread: one thread at a time; the log file itself is not locked against
// other writers (as for every profile file).
class UpdateLogWriter {
 public:
  // path: the log file (UpdateFiles::LogPath()).
  explicit UpdateLogWriter(std::string path);
  // Flushes what is still pending, so a caller that returns early loses
  // nothing it wrote.
  ~UpdateLogWriter();
  UpdateLogWriter(const UpdateLogWriter&) = delete;
  UpdateLogWriter& operator=(const UpdateLogWriter&) = delete;

  // As UpdateLog::WriteLogCount, WriteLogEntry and WriteLogProduct, held until Flush().
  void WriteLogCount(std::string_view section, uint32_t count, uint32_t kind);
  uint32_t WriteLogEntry(std::string_view section, std::string_view relativePath, uint32_t index, uint32_t kind,
                         std::optional<std::string_view> fullPath);
  void WriteLogProduct(std::string_view product, uint32_t index);
  // One more value of an entry (section, key), held until Flush().
  void WriteLogValue(std::string_view section, std::string key, std::string_view value);

  // Writes every pending entry with one replace of the file and forgets
  // them. True when all are on disk (also when none was pending); false when
  // one could not be written, reported to the diagnostics with the file and
  // the reason (the pending entries are gone either way, as a failed write
  // of a single entry always lost that entry).
  bool Flush();
  size_t Pending() const { return m_pending.size(); }
  const std::string& Path() const { return m_path; }

 private:
  void Add(std::string_view section, std::string key, std::string_view value);

  std::string m_path;
  std::vector<platform::ProfileFile::Assignment> m_pending;
};

}  // namespace qrv
