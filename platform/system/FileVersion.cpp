#include "platform/system/FileVersion.h"

#include <cstdio>

#include "platform/core/LastError.h"
#include "platform/system/PeVersionResource.h"

namespace qrv::platform {

bool FileVersion::Read(const std::string& path, std::string& version) {
  version.clear();
  PeVersionResource resource;
  if (!resource.Load(path)) return false;
  uint32_t ms = 0;
  uint32_t ls = 0;
  if (!resource.FixedFileVersion(ms, ls)) {
    LastError::Set(path + ": the version resource has no fixed file version");
    return false;
  }
  char text[48];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", ms >> 16, ms & 0xFFFFu, ls >> 16, ls & 0xFFFFu);
  version = text;
  return true;
}

bool FileVersion::ReadText(const std::string& path, std::string& text) {
  text.clear();
  PeVersionResource resource;
  if (!resource.Load(path)) return false;
  uint16_t language = 0;
  uint16_t codePage = 0;
  if (!resource.FirstTranslation(language, codePage)) {
    LastError::Set(path + ": the version resource has no translation");
    return false;
  }
  // The string table is named by the pair in lower-case hexadecimal.
  char table[16];
  std::snprintf(table, sizeof table, "%04x%04x", static_cast<unsigned>(language), static_cast<unsigned>(codePage));
  text = resource.StringValue(table, "FileVersion");
  if (text.empty()) {
    LastError::Set(path + ": no FileVersion text in string table " + table);
    return false;
  }
  return true;
}

}  // namespace qrv::platform
