#include "apply/SystemServices.h"

#include "platform/system/FileVersion.h"
#include "platform/system/SystemRestart.h"
#include "platform/system/UserAdministrator.h"

namespace qrv {

int RestartSystem() { return platform::SystemRestart::RestartNow() ? 1 : 0; }

int IsUserAdministrator() { return platform::UserAdministrator::IsAdministrator() ? 1 : 0; }

std::string GetFileVersionText(const std::string& path) {
  std::string text;
  platform::FileVersion::ReadText(path, text);
  return text;
}

}  // namespace qrv
