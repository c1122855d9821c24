#include "platform/system/FileVersion.h"

#include "platform/core/LastError.h"

namespace qrv::platform {

bool FileVersion::Read(const std::string& path, std::string& version) {
  // Version resources are not read yet; products show an empty installed
  // version until they are.
  version.clear();
  LastError::Set(path + " carries no version text that can be read");
  return false;
}

}  // namespace qrv::platform
