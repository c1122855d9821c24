#include "apply/ProtectedRegistryValues.h"

#include <array>
#include <vector>

#include "apply/PendingReplacements.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/registry/RegistryTypes.h"

namespace qrv {
namespace {

std::string Upper(std::string_view text) {
  std::string up(text);
  for (char& c : up) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return up;
}

// The upper-cased names of a key path, split at '\' and '/', empty ones dropped.
std::vector<std::string> Parts(std::string_view path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.push_back(Upper(path.substr(start, end - start)));
    start = end + 1;
  }
  return parts;
}

// Whether path begins with every part of prefix.
bool StartsWith(const std::vector<std::string>& path, const std::vector<std::string>& prefix) {
  if (path.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (path[i] != prefix[i]) return false;
  }
  return true;
}

constexpr std::array<std::string_view, 4> kProductRecordValues = {"PRODUCTPATH", "FILEPATH", "PRODUCTVERSION",
                                                                  "PRODUCTVERSION_BAK"};

}  // namespace

std::string ProtectedRegistryValues::WhyProtected(uint32_t root, std::string_view keyPath, std::string_view name) {
  if (root != platform::kRootLocalMachine) return {};
  static const std::vector<std::string> mainKey = Parts(CQUpdateUtilRegistry::kMainKey);
  static const std::vector<std::string> installInfo = Parts(CQUpdateUtilRegistry::kInstallInfoKey);
  static const std::string queueKey = Upper(PendingReplacements::kKeyName);
  const std::vector<std::string> path = Parts(keyPath);

  if (StartsWith(path, installInfo)) {
    return "the installers' records decide where products are installed";
  }
  if (!StartsWith(path, mainKey)) return {};
  if (path.size() == mainKey.size()) return "it is a setting of the updater itself";
  if (path[mainKey.size()] == queueKey) return "it belongs to the queue of replacements made at the next start";
  if (path.size() == mainKey.size() + 1) {
    const std::string value = Upper(name);
    for (std::string_view protectedName : kProductRecordValues) {
      if (value == protectedName) {
        return "it is part of the product record that says where the product's files go and which level is "
               "installed";
      }
    }
  }
  return {};
}

}  // namespace qrv
