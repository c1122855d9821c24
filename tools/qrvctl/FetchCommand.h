#pragma once

#include <string>
#include <vector>

namespace qrv::tools {

// qrvctl fetch FILE DIR: connects with the server settings of the store and
// downloads FILE into DIR through the configured transport, printing each
// step's result code and what it means. The administrators' test of server
// settings.
class FetchCommand {
 public:
  static int Run(const std::vector<std::string>& args);
};

}  // namespace qrv::tools
