#include "tools/qrvctl/PendingCommand.h"

#include "apply/PendingReplacements.h"
#include "tools/qrvctl/CommandOutput.h"

namespace qrv::tools {

int PendingCommand::Run(const std::vector<std::string>& args) {
  if (args.size() != 1) return CommandOutput::Usage("pending needs exactly one of: list, run");
  if (args[0] == "list") {
    std::string unreadable;
    for (const PendingReplacements::Entry& entry : PendingReplacements::List(&unreadable)) {
      CommandOutput::Fields({entry.source, entry.target});
    }
    if (unreadable.empty()) return 0;
    CommandOutput::Error("the queue of pending replacements cannot be read: " + unreadable);
    return 1;
  }
  if (args[0] == "run") {
    // every entry left queued is reported once, as "qrvctl: cannot replace ..."
    return PendingReplacements::Finish([](std::string_view line) { CommandOutput::Error(line); }) ? 0 : 1;
  }
  return CommandOutput::Usage("unknown pending command \"" + args[0] + "\"");
}

}  // namespace qrv::tools
