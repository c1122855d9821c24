#include "apply/CQUpdateActions.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <vector>

#include "apply/ProtectedRegistryValues.h"
#include "apply/UpdateFiles.h"
#include "apply/UpdateLog.h"
#include "config/CQUpdateMgrEnv.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/DisplayText.h"
#include "platform/core/LastError.h"
#include "platform/profile/ProfileFile.h"
#include "platform/registry/RegistryTypes.h"
#include "platform/shell/DesktopShortcuts.h"
#include "platform/shell/Launcher.h"
#include "platform/shell/ShellFolders.h"
#include "platform/shell/ShortcutFile.h"

namespace qrv {
namespace {

using platform::Diagnostics;
using platform::ProfileFile;

// One product file's section, read the way every list of it is read.
class ProductSection {
 public:
  explicit ProductSection(std::string_view product)
      : m_file(UpdateFiles::ProductFilePath(product)), m_section(product) {}

  std::string Text(const std::string& key) const {
    return ProfileFile::GetString(m_file, m_section, key, "", UpdateFiles::kValueChars);
  }
  uint32_t Number(const std::string& key) const { return ProfileFile::GetInt(m_file, m_section, key, 0); }
  // A count as the signed number it is written as; negative counts list nothing.
  int64_t Count(const std::string& key) const { return static_cast<int32_t>(Number(key)); }

  // The entries of a list whose missing entries do nothing: past the highest
  // index that any key "PREFIX<index>..." names, every entry would read as
  // defaults, so a count of two billion does not mean two billion file reads.
  int64_t PresentLimit(std::string_view prefix, int64_t count) const {
    int64_t highest = -1;
    for (const std::string& key : ProfileFile::KeyNames(m_file, m_section)) {
      if (key.size() <= prefix.size()) continue;
      bool same = std::equal(prefix.begin(), prefix.end(), key.begin(), [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
      });
      if (!same) continue;
      int64_t index = 0;
      size_t i = prefix.size();
      for (; i < key.size() && std::isdigit(static_cast<unsigned char>(key[i])) && index <= INT32_MAX; ++i) {
        index = index * 10 + (key[i] - '0');
      }
      if (i > prefix.size()) highest = std::max(highest, index);
    }
    return std::min(count, highest + 1);
  }

  const std::string& File() const { return m_file; }

 private:
  std::string m_file;
  std::string m_section;
};

std::string Key(const char* prefix, int64_t index, const char* suffix) {
  return prefix + std::to_string(index) + suffix;
}

std::string InstallFolder(std::string_view product) {
  std::string folder = CQUpdateMgrEnv().GetProductPath(product);
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

std::string FolderOf(const CQUpdateActions::InstallFolders& folders, std::string_view product) {
  auto it = folders.find(product);
  return it == folders.end() ? std::string() : it->second;
}

// Registry entries refused since the last TakeRefusedCount.
std::atomic<uint32_t> g_refused{0};

// Whether a registry entry may run; a refused one is reported and counted.
bool MayTouch(std::string_view product, const char* list, int64_t index, uint32_t root, const std::string& key,
              const std::string& name) {
  const std::string why = ProtectedRegistryValues::WhyProtected(root, key, name);
  if (why.empty()) return true;
  ++g_refused;
  Diagnostics::Report(std::string(list) + " entry " + std::to_string(index) + " of product " + std::string(product) +
                      " refused: root " + std::to_string(root) + " (" +
                      std::string(platform::RegRootShortName(root)) + "), key \"" +
                      platform::DisplayText::Escape(key) + "\", value \"" + platform::DisplayText::Escape(name) +
                      "\": " + platform::DisplayText::Escape(why) + "; the product's other entries still run");
  return false;
}

// Joins a relative path from a product file below the (known) installation
// folder. False (with a diagnostic) when the path is absolute or climbs above
// the folder: an update may act only inside its product.
bool JoinBelow(std::string_view product, const std::string& folder, std::string relative, const char* what,
               std::string& full) {
  std::replace(relative.begin(), relative.end(), '\\', '/');
  auto refuse = [&](const std::string& why) {
    Diagnostics::Report(std::string(what) + " \"" + relative + "\" of product " + std::string(product) +
                        " skipped: " + why);
    return false;
  };
  bool drive = relative.size() >= 2 && std::isalpha(static_cast<unsigned char>(relative[0])) && relative[1] == ':';
  if (!relative.empty() && (relative[0] == '/' || drive)) return refuse("it is an absolute path");
  // lexically cleaned, so "Bin/../x" and "x" are one entry of the start list
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    std::string_view part(relative.data() + start, end - start);
    if (part == "..") {
      if (parts.empty()) return refuse("it climbs out of " + folder);
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  full = folder;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) full += '/';
    full += parts[i];
  }
  return true;
}

void ReportUnknownFolder(std::string_view product, const char* what) {
  Diagnostics::Report("the installation folder of product " + std::string(product) +
                      " is not known (no ProductPath); its " + what + " are skipped");
}

// The number of a type-3 entry: hexadecimal after 0x, else decimal.
uint32_t BinaryNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    uint32_t value = 0;
    for (i += 2; i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i])); ++i) {
      char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
      value = value * 16u + static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return value;
  }
  return CQUpdateUtilRegistry::ParseLeadingNumber(text);
}

}  // namespace

int CQUpdateActions::ApplyRegistryAdditions(std::string_view product) {
  ProductSection section(product);
  CQUpdateUtilRegistry registry;
  int64_t count = section.Count("REGISTRYCOUNT");
  for (int64_t i = 0; i < count; ++i) {
    uint32_t root = section.Number(Key("REGISTRY", i, "ROOT"));
    std::string key = section.Text(Key("REGISTRY", i, "KEY"));
    std::string name = section.Text(Key("REGISTRY", i, "NAME"));
    std::string value = section.Text(Key("REGISTRY", i, "VALUE"));
    uint32_t type = section.Number(Key("REGISTRY", i, "TYPE"));
    if ((type == 1 || type == 3 || type == 4) && !MayTouch(product, "registry", i, root, key, name)) continue;
    // the outcome of each write is deliberately not looked at: one value that
    // cannot be written must not keep the rest of the update from finishing
    switch (type) {
      case 1: registry.SetStringValue(root, key, name, value); break;
      case 3: registry.SetBinaryValue(root, key, name, BinaryNumber(value)); break;
      case 4: registry.SetDwordValueFromText(root, key, name, value); break;
      default:
        Diagnostics::Report("registry entry " + std::to_string(i) + " of product " + std::string(product) + " in " +
                            section.File() + " has unknown type " + std::to_string(type) +
                            " (known: 1, 3, 4); the product's registry additions stop here");
        return 0;
    }
  }
  return 1;
}

int CQUpdateActions::ApplyRegistryRemovals(std::string_view product) {
  ProductSection section(product);
  CQUpdateUtilRegistry registry;
  int64_t count = section.PresentLimit("REMREGISTRY", section.Count("REMREGISTRYCOUNT"));
  for (int64_t i = 0; i < count; ++i) {
    uint32_t root = section.Number(Key("REMREGISTRY", i, "ROOT"));
    std::string key = section.Text(Key("REMREGISTRY", i, "KEY"));
    std::string name = section.Text(Key("REMREGISTRY", i, "NAME"));
    if (!MayTouch(product, "registry removal", i, root, key, name)) continue;
    registry.DeleteValue(root, key, name);
  }
  return 1;
}

CQUpdateActions::InstallFolders CQUpdateActions::ReadInstallFolders() {
  InstallFolders folders;
  const uint32_t products = UpdateLog::ProductCount();
  for (int64_t p = 0; p < static_cast<int32_t>(products); ++p) {
    std::string product = UpdateLog::Product(static_cast<uint32_t>(p));
    if (!product.empty() && folders.find(product) == folders.end()) folders.emplace(product, InstallFolder(product));
  }
  return folders;
}

uint32_t CQUpdateActions::TakeRefusedCount() { return g_refused.exchange(0); }

int CQUpdateActions::CreateShortcuts(std::string_view product) {
  return CreateShortcuts(product, InstallFolders{{std::string(product), InstallFolder(product)}});
}

int CQUpdateActions::CreateShortcuts(std::string_view product, const InstallFolders& folders) {
  ProductSection section(product);
  std::string folder = FolderOf(folders, product);
  int64_t count = section.Count("SHORTCUTCOUNT");
  if (count > 0 && folder.empty()) {
    // no entry can be made; reported once, not once per entry
    ReportUnknownFolder(product, "shortcuts");
    return 0;
  }
  for (int64_t i = 0; i < count; ++i) {
    uint32_t code = section.Number(Key("SHORTCUT", i, "DIR"));
    std::string relative = section.Text(Key("SHORTCUT", i, "FILEPATH"));
    std::string name = section.Text(Key("SHORTCUT", i, "NAME"));
    std::string description = section.Text(Key("SHORTCUT", i, "DESC"));
    std::string target;
    if (!JoinBelow(product, folder, relative, "shortcut target", target)) continue;
    if (CreateShortcut(code, target, name, description) == 0) return 0;
  }
  return 1;
}

int CQUpdateActions::DeleteShortcuts(std::string_view product) {
  ProductSection section(product);
  int64_t count = section.PresentLimit("DELSHORTCUT", section.Count("DELSHORTCUTCOUNT"));
  for (int64_t i = 0; i < count; ++i) {
    uint32_t code = section.Number(Key("DELSHORTCUT", i, "DIR"));
    std::string name = section.Text(Key("DELSHORTCUT", i, "NAME"));
    DeleteShortcut(code, name);
  }
  return 1;
}

int CQUpdateActions::RunStartActions() { return RunStartActions(ReadInstallFolders()); }

int CQUpdateActions::RunStartActions(const InstallFolders& folders) {
  /* the start list, over all products, before anything starts */
  std::vector<std::string> paths;
  uint32_t products = UpdateLog::ProductCount();
  for (int64_t p = 0; p < static_cast<int32_t>(products); ++p) {
    std::string product = UpdateLog::Product(static_cast<uint32_t>(p));
    if (product.empty()) continue;
    ProductSection section(product);
    std::string folder = FolderOf(folders, product);
    int64_t last = section.PresentLimit("EXEC", section.Count("EXECCOUNT") + 1);
    if (last > 0 && folder.empty()) {
      ReportUnknownFolder(product, "programs to start");
      continue;
    }
    for (int64_t i = 0; i < last; ++i) {
      std::string relative = section.Text(Key("EXEC", i, "FILEPATH"));
      if (relative.empty()) continue;  // the folder itself: never opened
      std::string full;
      if (!JoinBelow(product, folder, relative, "program to start", full)) continue;
      if (std::find(paths.begin(), paths.end(), full) == paths.end()) paths.push_back(full);
    }
  }

  /* open the ones that exist */
  for (const std::string& path : paths) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
    std::string folder = path.substr(0, path.rfind('/'));
    if (folder.empty()) folder = "/";
    if (!platform::Launcher::Current().Open(path, folder)) {
      Diagnostics::Report("cannot open " + path + " after the update: " + platform::LastError::Text());
    }
  }
  return 1;
}

int CQUpdateActions::CreateShortcut(uint32_t code, const std::string& target, const std::string& name,
                                    const std::string& description) {
  if (!platform::ShortcutFile::IsValidName(name)) {
    Diagnostics::Report("shortcut \"" + name + "\" to " + target + " not made: the name cannot be a file name");
    return 0;
  }
  if (code == platform::ShellFolders::kDesktop) {
    // The desktop belongs to the user the update runs for, who is not
    // necessarily the user of this process (the engine service is root).
    if (!platform::DesktopShortcuts::Current().Make(name, target, description)) {
      Diagnostics::Report("shortcut \"" + name + "\" not made: " + platform::LastError::Text());
      return 0;
    }
    return 1;
  }
  std::string folder;
  if (!platform::ShellFolders::Folder(code, folder)) {
    Diagnostics::Report("shortcut \"" + name + "\" not made: " + platform::LastError::Text());
    return 0;
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    std::filesystem::create_directories(folder, ec);
    if (ec) {
      Diagnostics::Report("shortcut \"" + name + "\" not made: cannot create folder " + folder + ": " + ec.message());
      return 0;
    }
  }
  if (!platform::ShortcutFile::Write(folder, name, target, description)) {
    Diagnostics::Report("shortcut \"" + name + "\" not made: " + platform::LastError::Text());
    return 0;
  }
  return 1;
}

int CQUpdateActions::DeleteShortcut(uint32_t code, const std::string& name) {
  if (!platform::ShortcutFile::IsValidName(name)) {
    Diagnostics::Report("shortcut \"" + name + "\" not deleted: the name cannot be a file name");
    return 0;
  }
  if (code == platform::ShellFolders::kDesktop) {
    if (!platform::DesktopShortcuts::Current().Remove(name)) {
      Diagnostics::Report("shortcut \"" + name + "\" not deleted: " + platform::LastError::Text());
    }
    return 1;
  }
  std::string folder;
  if (!platform::ShellFolders::Folder(code, folder)) {
    Diagnostics::Report("shortcut \"" + name + "\" not deleted: " + platform::LastError::Text());
    return 0;
  }
  if (!platform::ShortcutFile::Remove(folder, name)) Diagnostics::Report(platform::LastError::Text());
  return 1;
}

}  // namespace qrv
