#include "apply/UpdateLog.h"

#include "apply/UpdateFiles.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/LastError.h"
#include "platform/profile/ProfileFile.h"

namespace qrv {
namespace {

using platform::ProfileFile;

const char* KindWord(uint32_t kind) {
  switch (kind) {
    case UpdateLog::kFile: return "FILE";
    case UpdateLog::kSignError: return "DIGITALSIGNERROR";
    default: return "ERROR";
  }
}

void Write(std::string_view section, const std::string& key, std::string_view value) {
  std::string path = UpdateFiles::LogPath();
  if (!ProfileFile::WriteString(path, section, key, value)) {
    // The log is what the later phases go by; a lost entry must be visible.
    platform::Diagnostics::Report("cannot write " + key + " in [" + std::string(section) + "] of " + path + ": " +
                                  platform::LastError::Text());
  }
}

}  // namespace

void UpdateLog::WriteLogCount(std::string_view section, uint32_t count, uint32_t kind) {
  const char* key = kind == kCount ? "COUNT" : kind == kSkipCount ? "SKIPCOUNT" : "ERRCOUNT";
  Write(section, key, std::to_string(static_cast<int32_t>(count)));
}

uint32_t UpdateLog::WriteLogEntry(std::string_view section, std::string_view relativePath, uint32_t index,
                                  uint32_t kind, std::optional<std::string_view> fullPath) {
  std::string key = KindWord(kind) + std::to_string(static_cast<int32_t>(index));
  Write(section, key, relativePath);
  if (fullPath) Write(section, key + "TEMPPATH", *fullPath);
  return index;
}

void UpdateLog::WriteLogProduct(std::string_view product, uint32_t index) {
  Write("PRODUCTLIST", "PRODUCT" + std::to_string(static_cast<int32_t>(index)), product);
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
