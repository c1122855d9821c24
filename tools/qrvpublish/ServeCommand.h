#pragma once

#include <string>
#include <vector>

namespace qrv::tools {

// qrvpublish serve TREE [--port N] [--address ADDR] [--location URL]: runs
// TreeServer until SIGINT or SIGTERM. Loopback (127.0.0.1) unless an
// address is given, so trying a tree never exposes it by accident.
//
// Thread: the program's main thread, before any other thread exists.
class ServeCommand {  // static functions only
 public:
  static int Run(const std::vector<std::string>& args);
};

}  // namespace qrv::tools
