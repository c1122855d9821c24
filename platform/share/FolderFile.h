#pragma once

#include <string>
#include <string_view>

namespace qrv::platform {

// Opens a file by a relative name below a folder that is already open,
// without following a symbolic link anywhere on the way, the last component
// included, and without ever leaving the folder. Whoever can write to a
// network folder must not be able to make us read, and copy into the
// download folder, a file of the machine that merely happens to be readable
// to us (a link named qupdate_s.ini pointing at a private file).
//
// Links are refused even when they would stay inside the folder: a mirror
// of update files has no need of them, and one rule is easier to trust.
//
// The kernel does the work where it can (openat2 with RESOLVE_BENEATH and
// RESOLVE_NO_SYMLINKS); where openat2 is missing or filtered, the name is
// walked one component at a time with O_NOFOLLOW.
//
// Thread: any; no state.
class FolderFile {
 public:
  enum class Method { kAuto, kWalk };

  // The descriptor, or -1 with errno: ELOOP for a symbolic link on the way,
  // EXDEV for a name that climbs out ("..") or is absolute, EINVAL for an
  // empty name or component, and what open(2) gives otherwise. flags as for
  // openat(2) (O_CLOEXEC is added); O_CREAT is not supported. kWalk skips
  // openat2 (for tests of the fallback).
  static int Open(int folder, std::string_view name, int flags, Method method = Method::kAuto);

  // The reason for errno code after a failed Open of name, for messages:
  // "it is, or lies behind, a symbolic link ..." and the like.
  static std::string Explain(int code);
};

}  // namespace qrv::platform
