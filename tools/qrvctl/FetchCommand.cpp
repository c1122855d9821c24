#include "tools/qrvctl/FetchCommand.h"

#include "tools/qrvctl/CommandOutput.h"

namespace qrv::tools {

int FetchCommand::Run(const std::vector<std::string>& /*args*/) {
  return CommandOutput::Error("this command is not available in this build");
}

}  // namespace qrv::tools
