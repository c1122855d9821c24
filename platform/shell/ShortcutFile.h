#pragma once

#include <string>
#include <string_view>

namespace qrv::platform {

// Launcher files ("NAME.desktop") in a shell folder.
//
// Errors: every call clears LastError first; a failure leaves the reason with
// the actual path or name in LastError. Never throws.
// Thread: any; two writers of the same file race (the last rename wins).
class ShortcutFile {
 public:
  // A shortcut name becomes a file name: refused when empty, "." or "..", or
  // holding '/' or a control character (0x00-0x1F, 0x7F).
  static bool IsValidName(std::string_view name);

  // folder + "/" + name + ".desktop"; empty for an invalid name.
  static std::string PathFor(const std::string& folder, std::string_view name);

  // Writes DesktopEntry::Render(name, target, comment) as the file, replacing
  // any file of that name at once (temporary file in the folder, flushed, then
  // renamed), mode 0644. The folder must exist. Refused (false, nothing
  // written): an invalid name, a target that is not an absolute path or holds
  // a control character (0x00-0x1F, 0x7F, newline and tab included). Any
  // other character, '=' among them, is quoted in the Exec line.
  static bool Write(const std::string& folder, std::string_view name, std::string_view target,
                    std::string_view comment);

  // Deletes the file. True when it is gone afterwards (deleted, or never
  // there); false for an invalid name (nothing is touched) or when it cannot
  // be deleted.
  static bool Remove(const std::string& folder, std::string_view name);
};

}  // namespace qrv::platform
