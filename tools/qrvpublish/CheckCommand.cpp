#include "tools/qrvpublish/CheckCommand.h"

#include <filesystem>

#include "tools/qrvpublish/PublishOutput.h"
#include "tools/qrvpublish/TreeChecker.h"

namespace qrv::tools {

int CheckCommand::Run(const std::vector<std::string>& args) {
  constexpr const char* kUsage = "usage: check TREE [--anchors PEM] [--publisher PATTERN]";
  std::string tree, publisher;
  std::vector<std::string> anchors;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--anchors" || a == "--publisher") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return PublishOutput::Usage(a + " needs a value");
      if (a == "--anchors") {
        // The verifier trusts an anchors file only by its absolute path.
        anchors.push_back(std::filesystem::absolute(args[++i]).string());
      } else {
        publisher = args[++i];
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
  TreeChecker checker(std::filesystem::absolute(tree), anchors, publisher);
  const std::vector<TreeChecker::Finding> findings = checker.Check();
  for (const TreeChecker::Finding& f : findings) PublishOutput::Error(f.Text());
  if (!findings.empty()) {
    return PublishOutput::Error(std::to_string(findings.size()) + " fault(s) in " + tree);
  }
  PublishOutput::Line(tree + ": " + std::to_string(checker.Products()) + " products, " +
                      std::to_string(checker.Cabinets()) + " cabinets, no fault found");
  return 0;
}

}  // namespace qrv::tools
