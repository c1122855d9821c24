#pragma once

#include <string>
#include <vector>

namespace qrv::tools {

// qrvctl cab: lists and unpacks cabinets exactly as the updater does.
//   cab list FILE       NAME<TAB>SIZE<TAB>YYYY-MM-DD HH:MM:SS<TAB>ATTRIBUTES per file
//                       (see --help for the letters); names extraction would
//                       refuse get <TAB>refused: WHY
//   cab extract FILE DIR
// Exit status 0, 1 on failure ("qrvctl: cannot extract FILE: TEXT (error N)"),
// 2 on a usage error.
class CabCommand {
 public:
  static int Run(const std::vector<std::string>& args);

  // The attribute letters of a CFFILE attribute word, fixed width: R H S A X
  // U Z for read-only, hidden, system, archive, executable, UTF-8 name, UTC
  // time, '-' for each one not set.
  static std::string AttributeLetters(int attribs);
};

}  // namespace qrv::tools
