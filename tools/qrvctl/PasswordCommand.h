#pragma once

#include <string>
#include <vector>

namespace qrv::tools {

// qrvctl password encrypt TEXT | decrypt HEX: the stored form of server
// passwords, for installers that preset them and for checking stored values.
class PasswordCommand {
 public:
  static int Run(const std::vector<std::string>& args);
};

}  // namespace qrv::tools
