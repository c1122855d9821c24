#include "tools/qrvctl/FetchCommand.h"

#include <sys/stat.h>

#include <filesystem>

#include "config/tagSERVERINFO.h"
#include "transfer/CQUpdateDownloadMgr.h"
#include "transfer/TransferPath.h"
#include "tools/qrvctl/CommandOutput.h"

namespace qrv::tools {
namespace {

std::string Describe(const tagSERVERINFO& server) {
  switch (server.type) {
    case kServerTypeNetwork:
      return "network folder " + server.path;
    case kServerTypeFtp:
      return "FTP server " + server.path + (server.port != 0 ? ":" + std::to_string(server.port) : std::string()) +
             (server.user.empty() ? std::string() : " as " + server.user);
    default:
      return "HTTP update service " + server.path;
  }
}

std::string ConnectMeaning(const tagSERVERINFO& server, uint32_t code) {
  if (code == 1) return "connected to " + Describe(server);
  if (code == 147) return Describe(server) + " was reached but holds no qupdate_s.ini";
  switch (server.type) {
    case kServerTypeNetwork:
      return "cannot log on to " + Describe(server);
    case kServerTypeFtp:
      return "cannot log in to " + Describe(server) + " or fetch qupdate_s.ini from it";
    default:
      return "no download location from " + Describe(server) + ", or the location cannot be opened";
  }
}

}  // namespace

int FetchCommand::Run(const std::vector<std::string>& args) {
  if (args.size() != 2) return CommandOutput::Usage("usage: fetch FILE DIR");
  const std::string& file = args[0];
  const std::string& dir = args[1];
  std::string normalised;
  if (!TransferPath::Normalise(file, normalised)) {
    return CommandOutput::Error("\"" + file + "\" is not a relative file name on the server");
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) return CommandOutput::Error(dir + " is not a folder");

  CQUpdateDownloadMgr manager;
  uint32_t connected = manager.Connect();
  CommandOutput::Line("connect: " + std::to_string(connected) + " (" + ConnectMeaning(manager.Server(), connected) +
                      ")");
  if (connected != 1) return 1;

  int fetched = manager.Transport().DownloadFile(dir, file);
  std::string local = TransferPath::Join(dir, normalised);
  struct stat st {};
  if (fetched == 1 && stat(local.c_str(), &st) == 0) {
    CommandOutput::Line("fetch: 1 (" + local + ", " + std::to_string(st.st_size) + " bytes)");
    return 0;
  }
  CommandOutput::Line("fetch: " + std::to_string(fetched) + " (cannot fetch " + file + " from " +
                      Describe(manager.Server()) + ")");
  return 1;
}

}  // namespace qrv::tools
