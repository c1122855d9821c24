#include "apply/UpdateFiles.h"

#include <cctype>

#include "config/CQUpdateMgrEnv.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/PrivateFolder.h"
#include "platform/registry/RegistryKey.h"

namespace qrv {

std::string UpdateFiles::DownloadFolder() { return CQUpdateMgrEnv().GetDownloadPath(1); }

std::string UpdateFiles::InfoPath() { return DownloadFolder() + std::string(CQUpdateMgrEnv::kInfoFileName); }

std::string UpdateFiles::LogPath() { return DownloadFolder() + std::string(CQUpdateMgrEnv::kLogFileName); }

std::string UpdateFiles::ProductFilePath(std::string_view product) {
  return DownloadFolder() + std::string(product) + ".ini";
}

std::string UpdateFiles::HoldingFolder(std::string_view product) {
  return DownloadFolder() + "Tmp/" + std::string(product) + "/";
}

bool UpdateFiles::FeatureNames(std::string_view product, std::vector<std::string>& names) {
  names.clear();
  std::string keyPath = std::string(CQUpdateUtilRegistry::kMainKey) + "\\" + std::string(product);
  platform::RegistryKey key;
  if (product.empty() ||
      platform::RegistryKey::Open(platform::kRootLocalMachine, keyPath, platform::RegAccess::kRead, key) !=
          platform::RegStatus::kOk) {
    return false;
  }
  names.emplace_back(product);
  size_t joined = product.size() + 1;
  std::string name;
  for (uint32_t i = 0; key.EnumSubKey(i, name) == platform::RegStatus::kOk; ++i) {
    joined += name.size() + 1;
    names.push_back(name);
  }
  if (joined > kValueChars - 1) {
    // The names would not fit the text they are passed around in; taking a
    // cut list would skip features silently, so the product is refused.
    platform::Diagnostics::Report("product " + std::string(product) + " has " + std::to_string(names.size()) +
                                  " feature names of " + std::to_string(joined) +
                                  " characters in all; at most 259 fit, so the product is not updated");
    names.clear();
    return false;
  }
  return true;
}

void UpdateFiles::MoveAside(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return;
  const std::string name = path.substr(slash + 1);
  const std::string aside = name + std::to_string(static_cast<int32_t>(CQUpdateMgrEnv().GetLastUpdate()));
  std::string error;
  if (!platform::PrivateFolder::MoveAside(path.substr(0, slash), name, aside, error)) {
    platform::Diagnostics::Report(error);
  }
}

bool UpdateFiles::PrepareDownloadFolder(std::string& error) {
  return platform::PrivateFolder::Ensure(DownloadFolder(), error);
}

bool UpdateFiles::IsCabinetName(std::string_view path) {
  if (path.size() < 3) return false;
  std::string_view tail = path.substr(path.size() - 3);
  return std::tolower(static_cast<unsigned char>(tail[0])) == 'c' &&
         std::tolower(static_cast<unsigned char>(tail[1])) == 'a' &&
         std::tolower(static_cast<unsigned char>(tail[2])) == 'b';
}

}  // namespace qrv
