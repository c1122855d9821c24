#pragma once

#include <string>

namespace qrv::platform {

// Where the program keeps what it makes itself when no setting says
// otherwise: never a shared temporary folder, where another user could
// have put a file or a link first.
//
// A run as root, or in a sandbox root (SystemRoot other than "/"), uses the
// system's folders below the root; anyone else uses their own folders by
// the XDG base-directory rules (an XDG variable counts only when it holds
// an absolute path; HOME, else the password database, gives the home).
//
// Thread: any; reads the root and the environment on every call.
class ProgramFolders {
 public:
  // <root>/var/cache/qrvupdate, or $XDG_CACHE_HOME/qrvupdate, else
  // ~/.cache/qrvupdate. No final '/'.
  static std::string Cache();
  // <root>/var/log/qrvupdate, or $XDG_STATE_HOME/qrvupdate, else
  // ~/.local/state/qrvupdate. No final '/'.
  static std::string Log();
  // Whether the system's folders below the root are used (root or sandbox).
  static bool UsesSystemFolders();
};

}  // namespace qrv::platform
