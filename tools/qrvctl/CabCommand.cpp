#include "tools/qrvctl/CabCommand.h"

#include "tools/qrvctl/CommandOutput.h"

namespace qrv::tools {

int CabCommand::Run(const std::vector<std::string>& /*args*/) {
  return CommandOutput::Error("this command is not available in this build");
}

}  // namespace qrv::tools
