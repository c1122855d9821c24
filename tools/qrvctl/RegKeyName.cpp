#include "tools/qrvctl/RegKeyName.h"

#include "platform/registry/RegistryTypes.h"

namespace qrv::tools {

bool RegKeyName::Parse(std::string_view text, uint32_t& root, std::string& path, std::string& error) {
  size_t slash = text.find('\\');
  std::string_view rootName = text.substr(0, slash);
  root = platform::RegRootFromName(rootName);
  if (root >= platform::kRootCount) {
    error = "\"" + std::string(text) + "\" does not start with a registry root (HKLM, HKCU, HKCR, HKU, HKCC or " +
            "their long names)";
    return false;
  }
  path = slash == std::string_view::npos ? std::string() : std::string(text.substr(slash + 1));
  return true;
}

std::string RegKeyName::LongForm(uint32_t root, std::string_view path) {
  std::string name(platform::RegRootLongName(root));
  if (!path.empty()) name += "\\" + std::string(path);
  return name;
}

}  // namespace qrv::tools
