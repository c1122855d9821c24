#pragma once

#include <string>
#include <vector>

namespace qrv::tools {

// qrvctl password encrypt [TEXT] | decrypt [HEX]: the stored form of server
// passwords, for installers that preset them and for checking stored values.
//
// Without TEXT (or HEX) the text is read from standard input: from a
// terminal one line, without echo, after a prompt on standard error; from a
// pipe or file everything, less one final line end. A password given as an
// argument is visible to every user of the machine in the process list, so
// scripts should pipe it in.
class PasswordCommand {
 public:
  static int Run(const std::vector<std::string>& args);
};

}  // namespace qrv::tools
