#include "apply/UpdateFiles.h"

#include <sys/stat.h>

#include <cctype>
#include <filesystem>

#include "config/CQUpdateMgrEnv.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/Diagnostics.h"
#include "platform/registry/RegistryKey.h"

namespace qrv {

std::string UpdateFiles::DownloadFolder() { return CQUpdateMgrEnv().GetDownloadPath(1); }

std::string UpdateFiles::InfoPath() { return DownloadFolder() + "qupdate_s.ini"; }

std::string UpdateFiles::LogPath() { return DownloadFolder() + "quplog.ini"; }

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
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return;
  std::string aside = path + std::to_string(static_cast<int32_t>(CQUpdateMgrEnv().GetLastUpdate()));
  std::error_code ec;
  if (lstat(aside.c_str(), &st) == 0) {
    chmod(aside.c_str(), (st.st_mode & 07777) | S_IWUSR);
    std::filesystem::remove(aside, ec);
  }
  std::filesystem::rename(path, aside, ec);
  if (ec) platform::Diagnostics::Report("cannot move " + path + " aside to " + aside + ": " + ec.message());
}

bool UpdateFiles::IsCabinetName(std::string_view path) {
  if (path.size() < 3) return false;
  std::string_view tail = path.substr(path.size() - 3);
  return std::tolower(static_cast<unsigned char>(tail[0])) == 'c' &&
         std::tolower(static_cast<unsigned char>(tail[1])) == 'a' &&
         std::tolower(static_cast<unsigned char>(tail[2])) == 'b';
}

}  // namespace qrv
