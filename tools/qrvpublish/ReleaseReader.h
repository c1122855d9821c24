#pragma once

#include <filesystem>
#include <string>

#include "tools/qrvpublish/ReleaseDescription.h"

namespace qrv::tools {

// Reads a release file (TOML) into a ReleaseDescription, refusing anything
// the client could not read back as written or that would reach outside the
// publisher's folder:
//
//   [[product]]
//   key = "Writer"                 # product key: a file and folder name too
//   version = "7.0.1"              # shown to the user
//   level = 7                      # update level, 1 to 2147483646
//   notes = "text" | notes_file = "Writer.txt"   # optional update-content text
//   depends = ["Base"]             # products updated together with this one
//   run = ['bin\writer']           # programs started after the update
//   [[product.feature]]            name (the product key or a registry subkey
//                                  name), source (folder), cabinet (base name
//                                  of its .cab files; default: the name)
//   [[product.registry]]           root (HKCR, HKCU, HKLM, HKU, HKCC), key,
//                                  name, type (string, dword, binary), value
//   [[product.remove_registry]]    root, key, name
//   [[product.shortcut]]           folder = "programs"|"desktop"|"start-menu",
//                                  target, name, description
//   [[product.remove_shortcut]]    folder, name
//
// Paths (source, notes_file) are relative to the release file's folder and
// may neither climb out of it nor pass through a symbolic link. Unknown keys
// are refused, so a misspelt key never silently drops an action. Every error
// names the file, the line, the product and the key, with the value.
//
// Thread: any; no shared state.
class ReleaseReader {
 public:
  // True with `release` filled; false with `error` set.
  static bool Read(const std::filesystem::path& file, ReleaseDescription& release, std::string& error);
};

}  // namespace qrv::tools
