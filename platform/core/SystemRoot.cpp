#include "platform/core/SystemRoot.h"

#include <cstdlib>
#include <mutex>

namespace qrv::platform {
namespace {

std::mutex g_mutex;
std::filesystem::path g_override;  // empty: follow the environment

std::filesystem::path Normalise(const std::filesystem::path& p) {
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(p, ec);
  if (ec) abs = p;
  abs = abs.lexically_normal();
  std::string s = abs.string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s.empty() ? std::filesystem::path("/") : std::filesystem::path(s);
}

}  // namespace

std::filesystem::path SystemRoot::Get() {
  {
    std::lock_guard lock(g_mutex);
    if (!g_override.empty()) return g_override;
  }
  const char* env = std::getenv("QRVUPDATE_ROOT");
  if (env != nullptr && *env != '\0') return Normalise(env);
  return "/";
}

bool SystemRoot::SetFromOption(std::string_view value) {
  if (value.empty()) return false;
  Set(std::filesystem::path(value));
  return true;
}

void SystemRoot::Set(const std::filesystem::path& root) {
  std::lock_guard lock(g_mutex);
  g_override = root.empty() ? std::filesystem::path() : Normalise(root);
}

std::filesystem::path SystemRoot::Resolve(std::string_view relative) {
  while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
  return Get() / std::filesystem::path(relative);
}

}  // namespace qrv::platform
