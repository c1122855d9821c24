#pragma once

#include <string>
#include <vector>

namespace qrv::tools {

// qrvctl pending: the replacements queued for the next start
// (PendingReplacements).
//   pending list   SOURCE<TAB>TARGET per entry, in the order they run
//   pending run    carries out every entry in order, as the boot run does
//                  (PendingReplacements::Finish: under the root's run lock);
//                  a done entry is removed with its pending file, one that
//                  fails or that the queue's rules refuse stays queued
// Exit status 0; 1 when an entry stays queued ("qrvctl: cannot replace
// TARGET ...: REASON" per entry) or an update run holds the run lock; 2 on
// a usage error.
class PendingCommand {
 public:
  static int Run(const std::vector<std::string>& args);
};

}  // namespace qrv::tools
