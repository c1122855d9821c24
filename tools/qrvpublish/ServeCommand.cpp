#include "tools/qrvpublish/ServeCommand.h"

#include <filesystem>

#include "tools/qrvpublish/PublishOutput.h"
#include "tools/qrvpublish/TreeServer.h"

namespace qrv::tools {

int ServeCommand::Run(const std::vector<std::string>& args) {
  constexpr const char* kUsage = "usage: serve TREE [--port N] [--address ADDR] [--location URL]";
  std::string tree, address = "127.0.0.1", location;
  int port = 8080;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--port" || a == "--address" || a == "--location") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return PublishOutput::Usage(a + " needs a value");
      const std::string& v = args[++i];
      if (a == "--address") {
        address = v;
      } else if (a == "--location") {
        if (v.rfind("http://", 0) != 0 && v.rfind("https://", 0) != 0) {
          return PublishOutput::Usage("--location \"" + v + "\" is not an http:// or https:// URL");
        }
        location = v;
      } else {
        char* end = nullptr;
        const long n = std::strtol(v.c_str(), &end, 10);
        if (*end || n < 0 || n > 65535) return PublishOutput::Usage("--port \"" + v + "\" is not from 0 to 65535");
        port = static_cast<int>(n);
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
  TreeServer server(std::filesystem::absolute(tree), address, port, location);
  std::string error;
  const int status = server.Run(error);
  if (status != 0) return PublishOutput::Error(error);
  return 0;
}

}  // namespace qrv::tools
