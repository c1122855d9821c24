#pragma once

#include <string>

namespace qrv::platform {

// The version a program file carries in its version resource.
//
// Thread: any.
class FileVersion {
 public:
  // The fixed file version of a PE file, written "a.b.c.d" (the four 16-bit
  // parts of dwFileVersionMS / dwFileVersionLS), which is what installers
  // record as a product's installed version. Any other file, or one whose
  // version resource is missing or damaged, gives false, an empty version and
  // the reason in LastError.
  static bool Read(const std::string& path, std::string& version);

  // The FileVersion text of the file's string table for its first
  // translation ("1, 2, 3, 4" in many programs), as UTF-8. False and empty
  // when the file has no version resource, no translation, no string for
  // that translation or an empty one.
  static bool ReadText(const std::string& path, std::string& text);
};

}  // namespace qrv::platform
