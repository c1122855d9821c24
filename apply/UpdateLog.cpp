#include "apply/UpdateLog.h"

#include "apply/UpdateFiles.h"
#include "apply/UpdateLogWriter.h"
#include "platform/profile/ProfileFile.h"

namespace qrv {

using platform::ProfileFile;

// Each one-off write is a batch of its own, written at once.
void UpdateLog::WriteLogCount(std::string_view section, uint32_t count, uint32_t kind) {
  UpdateLogWriter(UpdateFiles::LogPath()).WriteLogCount(section, count, kind);
}

uint32_t UpdateLog::WriteLogEntry(std::string_view section, std::string_view relativePath, uint32_t index,
                                  uint32_t kind, std::optional<std::string_view> fullPath) {
  return UpdateLogWriter(UpdateFiles::LogPath()).WriteLogEntry(section, relativePath, index, kind, fullPath);
}

void UpdateLog::WriteLogProduct(std::string_view product, uint32_t index) {
  UpdateLogWriter(UpdateFiles::LogPath()).WriteLogProduct(product, index);
}

uint32_t UpdateLog::ProductCount() { return ProfileFile::GetInt(UpdateFiles::LogPath(), "PRODUCTLIST", "COUNT", 0); }

std::string UpdateLog::Product(uint32_t index) {
  return ProfileFile::GetString(UpdateFiles::LogPath(), "PRODUCTLIST",
                                "PRODUCT" + std::to_string(static_cast<int32_t>(index)), "");
}

uint32_t UpdateLog::FileCount(std::string_view feature) {
  return ProfileFile::GetInt(UpdateFiles::LogPath(), feature, "COUNT", 0);
}

std::string UpdateLog::FileEntry(std::string_view feature, uint32_t index) {
  return ProfileFile::GetString(UpdateFiles::LogPath(), feature, "FILE" + std::to_string(static_cast<int32_t>(index)),
                                "");
}

std::string UpdateLog::FileTempPath(std::string_view feature, uint32_t index) {
  return ProfileFile::GetString(UpdateFiles::LogPath(), feature,
                                "FILE" + std::to_string(static_cast<int32_t>(index)) + "TEMPPATH", "");
}

}  // namespace qrv
