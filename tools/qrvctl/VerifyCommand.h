#pragma once

#include <string>
#include <vector>

namespace qrv::tools {

class VerifyCommand {
 public:
  static int Run(const std::vector<std::string>& args);
};

}  // namespace qrv::tools
