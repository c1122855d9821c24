#pragma once

#include <string>
#include <vector>

namespace qrv::tools {

// qrvpublish check TREE [--anchors PEM] [--publisher PATTERN]: prints every
// fault TreeChecker finds, one a line; exit status 1 when there is one.
//
// Thread: the program's main thread.
class CheckCommand {  // static functions only
 public:
  static int Run(const std::vector<std::string>& args);
};

}  // namespace qrv::tools
