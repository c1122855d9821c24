#pragma once

#include <string>
#include <vector>

namespace qrv::tools {

// qrvctl verify [--anchors PEM] FILE
//
// Checks FILE exactly as the updater does before it accepts a download:
// Authenticode signature, chain to the trust anchors (the system's, the
// TrustAnchors file of the settings and, for this call, PEM) and the maker's
// name. Prints the signer's subject (when the signature itself checked out)
// and then "accepted" to standard output, exit 0; on refusal the reason goes
// to standard error, exit 1. Usage errors exit 2.
class VerifyCommand {
 public:
  static int Run(const std::vector<std::string>& args);
};

}  // namespace qrv::tools
