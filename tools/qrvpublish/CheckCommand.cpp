#include "tools/qrvpublish/CheckCommand.h"

#include <filesystem>

#include "tools/qrvpublish/PublishOutput.h"
#include "tools/qrvpublish/TreeChecker.h"

namespace qrv::tools {

int CheckCommand::Run(const std::vector<std::string>& args) {
  constexpr const char* kUsage = "usage: check TREE [--anchors PEM] [--publisher PATTERN] [--expiry-warning DAYS]";
  std::string tree, publisher;
  std::vector<std::string> anchors;
  int warningDays = 7;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--anchors" || a == "--publisher" || a == "--expiry-warning") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return PublishOutput::Usage(a + " needs a value");
      if (a == "--anchors") {
        // The verifier trusts an anchors file only by its absolute path.
        anchors.push_back(std::filesystem::absolute(args[++i]).string());
      } else if (a == "--publisher") {
        publisher = args[++i];
      } else {
        const std::string& days = args[++i];
        if (days.size() > 4 || days.find_first_not_of("0123456789") != std::string::npos) {
          return PublishOutput::Usage("--expiry-warning \"" + days + "\" is not a number of days from 0 to 9999");
        }
        warningDays = std::stoi(days);
      }
    } else if (a.rfind("-", 0) == 0) {
      return PublishOutput::Usage("unknown option \"" + a + "\" (" + kUsage + ")");
    } else if (tree.empty()) {
      tree = a;
    } else {
      return PublishOutput::Usage(kUsage);
    }
  }
  if (tree.empty()) return PublishOutput::Usage(kUsage);
  if (!std::filesystem::is_directory(tree)) return PublishOutput::Error("the tree \"" + tree + "\" is not a folder");
  TreeChecker checker(std::filesystem::absolute(tree), anchors, publisher, warningDays);
  size_t faults = 0, warnings = 0;
  for (const TreeChecker::Finding& f : checker.Check()) {
    PublishOutput::Error((f.warning ? "warning: " : "") + f.Text());
    ++(f.warning ? warnings : faults);
  }
  const std::string warned = warnings ? " (" + std::to_string(warnings) + " warning(s))" : "";
  if (faults != 0) return PublishOutput::Error(std::to_string(faults) + " fault(s) in " + tree + warned);
  PublishOutput::Line(tree + ": " + std::to_string(checker.Products()) + " products, " +
                      std::to_string(checker.Cabinets()) + " cabinets, no fault found" + warned);
  return 0;
}

}  // namespace qrv::tools
