#pragma once

#include <cstdint>
#include <string>

namespace qrv::platform {

// The all-users shell folders that shortcuts go into, by the folder codes
// product files use: 0 the Programs menu and 2 the Start menu, both the
// applications folder of locally installed software
// (<root>/usr/local/share/applications: the first folder of the default
// $XDG_DATA_DIRS, where menus pick up entries an administrator installs, and
// never written by the package manager); 1 the desktop. Linux has no desktop
// shared by all users, so code 1 is the desktop of the user running the
// updater, moved below the system root.
//
// Thread: any; every call looks the folders up afresh (the environment may
// change between calls in tests). Never throws.
class ShellFolders {
 public:
  static constexpr uint32_t kProgramsMenu = 0;
  static constexpr uint32_t kDesktop = 1;
  static constexpr uint32_t kStartMenu = 2;

  // The folder of a code, without a trailing '/'; false (folder emptied, the
  // reason in LastError) for any other code. Nothing is created.
  static bool Folder(uint32_t code, std::string& folder);

  // <root>/usr/local/share/applications
  static std::string ApplicationsFolder();

  // The desktop of the user running the updater joined to the system root
  // ("/home/ann/Desktop" under root /tmp/r is /tmp/r/home/ann/Desktop).
  static std::string DesktopFolder(const std::string& helper = "xdg-user-dir");

  // The user's desktop path as the user's session sees it: what
  // `helper DESKTOP` prints when helper can be started (searched in $PATH,
  // run without a shell) and prints an absolute path; else XDG_DESKTOP_DIR of
  // $XDG_CONFIG_HOME/user-dirs.dirs (default ~/.config); else $HOME/Desktop.
  // Empty only when none of them gives an absolute path (no $HOME either).
  static std::string UserDesktopPath(const std::string& helper = "xdg-user-dir");
};

}  // namespace qrv::platform
