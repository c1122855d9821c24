#pragma once

#include <string>
#include <string_view>

namespace qrv {

// File names as update servers write them ("sub\file.cab" or "sub/file.cab")
// and the local paths made from them.
class TransferPath {
 public:
  // Normalises a server-side relative name to '/' separators with runs of
  // separators collapsed. False (out untouched) when the name is empty, is
  // absolute ('/' or '\' first, or a drive letter such as "C:"), has a ".."
  // or "." component, or holds a control character: such a name must never
  // be fetched, since it could write outside the download folder.
  static bool Normalise(std::string_view name, std::string& out);

  // A server name's backslash separators as slashes, as request paths need
  // them: each run of backslashes becomes one slash, and a trailing one
  // disappears. Nothing else changes.
  static std::string SlashSeparated(std::string_view text);

  // folder + '/' (only when folder does not end in one) + name.
  static std::string Join(std::string_view folder, std::string_view name);
};

}  // namespace qrv
