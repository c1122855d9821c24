#include "tools/qrvctl/VerifyCommand.h"

#include "apply/SignatureVerification.h"
#include "tools/qrvctl/CommandOutput.h"

namespace qrv::tools {

int VerifyCommand::Run(const std::vector<std::string>& args) {
  constexpr const char* kUsage = "usage: verify [--anchors PEM] FILE";
  std::string anchors;
  std::string file;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--anchors" || a.rfind("--anchors=", 0) == 0) {
      if (a == "--anchors") anchors = i + 1 < args.size() ? args[++i] : std::string();
      else anchors = a.substr(10);
      if (anchors.empty()) return CommandOutput::Usage("--anchors needs a PEM file");
    } else if (a.rfind("-", 0) == 0 && a != "-") {
      return CommandOutput::Usage("unknown option \"" + a + "\" (" + kUsage + ")");
    } else if (file.empty()) {
      file = a;
    } else {
      return CommandOutput::Usage(kUsage);
    }
  }
  if (file.empty()) return CommandOutput::Usage(kUsage);
  std::string reason, subject;
  const int accepted = VerifyFileSignature(file, &reason, &subject, anchors);
  if (!subject.empty()) CommandOutput::Line(subject);
  if (accepted != 1) return CommandOutput::Error("refused: " + reason);
  CommandOutput::Line("accepted");
  return 0;
}

}  // namespace qrv::tools
