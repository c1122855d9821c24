#pragma once

#include <string>
#include <string_view>

namespace qrv::platform {

// The text of a launcher file ("NAME.desktop") that starts one program, in
// the freedesktop Desktop Entry format, version 1.5:
//
//   [Desktop Entry]
//   Type=Application
//   Version=1.5
//   Name=NAME
//   Comment=DESCRIPTION        (left out when empty)
//   Exec=TARGET                (quoted as below)
//   Path=FOLDER OF TARGET
//
// Thread: any; pure functions. Never throws.
class DesktopEntry {
 public:
  // The file's text. The Exec line reads back as target exactly when target
  // holds no control character but newline and tab (the others are dropped
  // by EscapeValue); Render does not check that, ShortcutFile::Write does.
  static std::string Render(std::string_view name, std::string_view target, std::string_view comment);

  // The value escapes of the format: '\' -> "\\", newline -> "\n", tab ->
  // "\t", carriage return -> "\r", a leading space -> "\s"; other control
  // characters are dropped (they cannot be written in a value).
  static std::string EscapeValue(std::string_view text);

  // One Exec argument: unchanged when it holds no reserved character (space,
  // tab, newline, " ' \ > < ~ | & ; $ * ? # ( ) `) and no '=', else wrapped
  // in double quotes with " ` $ \ preceded by a backslash. '=' is not
  // reserved, but a reader that takes a leading unquoted NAME=VALUE word for
  // an environment setting must not see one. '%' is doubled in both cases,
  // as a single '%' starts a field code. The result still needs EscapeValue.
  static std::string QuoteArgument(std::string_view argument);

  // The folder part of a path: everything before its last '/' ("/" for a
  // file directly below the root, empty for a path without '/').
  static std::string FolderOf(std::string_view path);
};

}  // namespace qrv::platform
