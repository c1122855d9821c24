#pragma once

#include <string>
#include <vector>

namespace qrv::tools {

// qrvctl ini get|getint|set|delete ...: the profile-file reader and writer the
// updater itself uses, so administrators see exactly what it sees.
class IniCommand {
 public:
  static int Run(const std::vector<std::string>& args);
};

}  // namespace qrv::tools
