#include "platform/shell/DesktopShortcuts.h"

#include <filesystem>

#include "platform/core/Diagnostics.h"
#include "platform/core/LastError.h"
#include "platform/core/ServiceSlot.h"
#include "platform/shell/ShellFolders.h"
#include "platform/shell/ShortcutFile.h"

namespace qrv::platform {
namespace {
ServiceSlot<DesktopShortcuts> g_slot;

// The desktop folder into `folder`; false (reason in LastError) when it cannot
// be named. An empty `folder` with true: there is none to write into.
bool ExistingDesktop(std::string_view name, std::string& folder) {
  if (!ShellFolders::Folder(ShellFolders::kDesktop, folder)) return false;
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    // A machine without a desktop folder has nowhere to show the shortcut;
    // making one would only leave clutter in the user's home.
    Diagnostics::Report("shortcut \"" + std::string(name) + "\" not made: there is no desktop folder " + folder);
    folder.clear();
  }
  return true;
}
}  // namespace

bool DesktopShortcuts::Make(std::string_view name, std::string_view target, std::string_view comment) {
  if (!ShortcutFile::IsValidName(name)) {
    LastError::Set("the shortcut name \"" + std::string(name) + "\" cannot be a file name");
    return false;
  }
  std::string folder;
  if (!ExistingDesktop(name, folder)) return false;
  return folder.empty() || ShortcutFile::Write(folder, name, target, comment);
}

bool DesktopShortcuts::Remove(std::string_view name) {
  std::string folder;
  if (!ShellFolders::Folder(ShellFolders::kDesktop, folder)) return false;
  return ShortcutFile::Remove(folder, name);
}

DesktopShortcuts& DesktopShortcuts::Current() {
  static DesktopShortcuts fallback;
  return g_slot.Current(fallback);
}

std::shared_ptr<DesktopShortcuts> DesktopShortcuts::Install(std::shared_ptr<DesktopShortcuts> shortcuts) {
  return g_slot.Install(std::move(shortcuts));
}

}  // namespace qrv::platform
