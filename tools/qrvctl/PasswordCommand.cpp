#include "tools/qrvctl/PasswordCommand.h"

#include "config/StoredPassword.h"
#include "tools/qrvctl/CommandOutput.h"

namespace qrv::tools {

int PasswordCommand::Run(const std::vector<std::string>& args) {
  if (args.size() != 2 || (args[0] != "encrypt" && args[0] != "decrypt")) {
    return CommandOutput::Usage("usage: password encrypt TEXT | password decrypt HEX");
  }
  std::string out, error;
  bool ok = args[0] == "encrypt" ? EncryptPassword(args[1], out, &error) : DecryptPassword(args[1], out, &error);
  if (!ok) return CommandOutput::Error(error);
  CommandOutput::Line(out);
  return 0;
}

}  // namespace qrv::tools
