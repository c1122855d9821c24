#include "platform/core/ProgramFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/core/SystemRoot.h"

namespace qrv::platform {
namespace {

std::string Home() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  if (const passwd* entry = getpwuid(geteuid()); entry != nullptr && entry->pw_dir != nullptr) return entry->pw_dir;
  return "/";
}

// $variable when it is an absolute path, else the home followed by fallback.
std::string XdgFolder(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  std::string folder = value != nullptr && value[0] == '/' ? std::string(value) : Home() + "/" + fallback;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

}  // namespace

bool ProgramFolders::UsesSystemFolders() {
  return geteuid() == 0 || SystemRoot::Get() != std::filesystem::path("/");
}

std::string ProgramFolders::Cache() {
  if (UsesSystemFolders()) return SystemRoot::Resolve("var/cache/qrvupdate").string();
  return XdgFolder("XDG_CACHE_HOME", ".cache") + "/qrvupdate";
}

std::string ProgramFolders::Log() {
  if (UsesSystemFolders()) return SystemRoot::Resolve("var/log/qrvupdate").string();
  return XdgFolder("XDG_STATE_HOME", ".local/state") + "/qrvupdate";
}

}  // namespace qrv::platform
