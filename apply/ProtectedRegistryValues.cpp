#include "apply/ProtectedRegistryValues.h"

#include <array>
#include <vector>

#include "apply/PendingReplacements.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/LastError.h"
#include "platform/profile/ProfileText.h"
#include "platform/registry/RegistryKey.h"
#include "platform/registry/RegistryTypes.h"

namespace qrv {
namespace {

using platform::RegistryKey;
using platform::RegStatus;

// The names of one of our own fixed key paths, as the store looks them up.
std::vector<std::string> Names(std::string_view path) {
  std::vector<std::string> names;
  RegistryKey::LookupNames(path, names);
  return names;
}

// Whether path begins with every name of prefix.
bool StartsWith(const std::vector<std::string>& path, const std::vector<std::string>& prefix) {
  if (path.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (path[i] != prefix[i]) return false;
  }
  return true;
}

// The values of a product record that say which key the record is read from
// (Product), where the product's files go and which level is installed.
constexpr std::array<std::string_view, 5> kProductRecordValues = {"Product", "ProductPath", "FilePath",
                                                                  "ProductVersion", "ProductVersion_Bak"};

}  // namespace

std::string ProtectedRegistryValues::WhyProtected(uint32_t root, std::string_view keyPath, std::string_view name) {
  if (root != platform::kRootLocalMachine) return {};
  static const std::vector<std::string> mainKey = Names(CQUpdateUtilRegistry::kMainKey);
  static const std::vector<std::string> installInfo = Names(CQUpdateUtilRegistry::kInstallInfoKey);
  static const std::vector<std::string> queueKey = Names(PendingReplacements::kKeyName);
  std::vector<std::string> path;
  if (RegistryKey::LookupNames(keyPath, path) != RegStatus::kOk) {
    // The store writes nothing there either; refused all the same, so that
    // no spelling is ever let through unexamined.
    return "the key path is not one the store accepts (" + platform::LastError::Text() + ")";
  }

  if (StartsWith(path, installInfo)) {
    return "the installers' records decide where products are installed";
  }
  if (!StartsWith(path, mainKey)) return {};
  if (path.size() == mainKey.size()) return "it is a setting of the updater itself";
  if (path[mainKey.size()] == queueKey.front()) {
    return "it belongs to the queue of replacements made at the next start";
  }
  // A product's record is read from the key its Product value names, which
  // may lie deeper than one level below the main key: the record's values
  // are therefore protected in every key below it.
  for (std::string_view protectedName : kProductRecordValues) {
    if (platform::ProfileText::EqualsNoCase(name, protectedName)) {
      return "it is part of a product record, which says which key the product is read from, where its files go "
             "and which level is installed";
    }
  }
  return {};
}

}  // namespace qrv
