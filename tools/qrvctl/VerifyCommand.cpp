#include "tools/qrvctl/VerifyCommand.h"

#include "tools/qrvctl/CommandOutput.h"

namespace qrv::tools {

int VerifyCommand::Run(const std::vector<std::string>& /*args*/) {
  return CommandOutput::Error("this command is not available in this build");
}

}  // namespace qrv::tools
