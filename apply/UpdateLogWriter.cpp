#include "apply/UpdateLogWriter.h"

#include "apply/UpdateLog.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/LastError.h"

namespace qrv {
namespace {

const char* KindWord(uint32_t kind) {
  switch (kind) {
    case UpdateLog::kFile: return "FILE";
    case UpdateLog::kSignError: return "DIGITALSIGNERROR";
    default: return "ERROR";
  }
}

}  // namespace

UpdateLogWriter::UpdateLogWriter(std::string path) : m_path(std::move(path)) {}

UpdateLogWriter::~UpdateLogWriter() { Flush(); }

void UpdateLogWriter::Add(std::string_view section, std::string key, std::string_view value) {
  m_pending.push_back({std::string(section), std::move(key), std::string(value)});
}

void UpdateLogWriter::WriteLogCount(std::string_view section, uint32_t count, uint32_t kind) {
  const char* key = kind == UpdateLog::kCount ? "COUNT" : kind == UpdateLog::kSkipCount ? "SKIPCOUNT" : "ERRCOUNT";
  Add(section, key, std::to_string(static_cast<int32_t>(count)));
}

uint32_t UpdateLogWriter::WriteLogEntry(std::string_view section, std::string_view relativePath, uint32_t index,
                                        uint32_t kind, std::optional<std::string_view> fullPath) {
  const std::string key = KindWord(kind) + std::to_string(static_cast<int32_t>(index));
  Add(section, key, relativePath);
  if (fullPath) Add(section, key + "TEMPPATH", *fullPath);
  return index;
}

void UpdateLogWriter::WriteLogProduct(std::string_view product, uint32_t index) {
  Add("PRODUCTLIST", "PRODUCT" + std::to_string(static_cast<int32_t>(index)), product);
}

void UpdateLogWriter::WriteLogValue(std::string_view section, std::string key, std::string_view value) {
  Add(section, std::move(key), value);
}

bool UpdateLogWriter::Flush() {
  if (m_pending.empty()) return true;
  const size_t count = m_pending.size();
  const bool written = platform::ProfileFile::WriteStrings(m_path, m_pending);
  m_pending.clear();
  if (!written) {
    // The log is what the later phases go by; a lost entry must be visible.
    platform::Diagnostics::Report("cannot write " + std::to_string(count) + " entries of the update log " + m_path +
                                  ": " + platform::LastError::Text());
  }
  return written;
}

}  // namespace qrv
