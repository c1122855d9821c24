#include "tools/qrvctl/IniCommand.h"

#include <cerrno>
#include <cstdlib>

#include "platform/core/LastError.h"
#include "platform/profile/ProfileFile.h"
#include "tools/qrvctl/CommandOutput.h"

namespace qrv::tools {
namespace {

using platform::ProfileFile;

bool ParseInt32(const std::string& text, int32_t& value) {
  errno = 0;
  char* end = nullptr;
  long long parsed = std::strtoll(text.c_str(), &end, 0);
  if (text.empty() || errno != 0 || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) return false;
  value = static_cast<int32_t>(parsed);
  return true;
}

}  // namespace

int IniCommand::Run(const std::vector<std::string>& args) {
  if (args.empty()) return CommandOutput::Usage("ini needs a subcommand: get, getint, set, delete");
  const std::string& sub = args[0];
  size_t n = args.size() - 1;
  if (sub == "get") {
    if (n < 3 || n > 4) return CommandOutput::Usage("usage: ini get FILE SECTION KEY [DEFAULT]");
    CommandOutput::Line(ProfileFile::GetString(args[1], args[2], args[3], n == 4 ? args[4] : std::string()));
    return 0;
  }
  if (sub == "getint") {
    if (n != 4) return CommandOutput::Usage("usage: ini getint FILE SECTION KEY DEFAULT");
    int32_t def = 0;
    if (!ParseInt32(args[4], def)) {
      return CommandOutput::Error("default \"" + args[4] + "\" is not a 32-bit number");
    }
    CommandOutput::Line(std::to_string(static_cast<int32_t>(ProfileFile::GetInt(args[1], args[2], args[3], def))));
    return 0;
  }
  if (sub == "set") {
    if (n != 4) return CommandOutput::Usage("usage: ini set FILE SECTION KEY VALUE");
    if (!ProfileFile::WriteString(args[1], args[2], args[3], args[4])) {
      return CommandOutput::Error(platform::LastError::Text());
    }
    return 0;
  }
  if (sub == "delete") {
    if (n < 2 || n > 3) return CommandOutput::Usage("usage: ini delete FILE SECTION [KEY]");
    bool ok = n == 3 ? ProfileFile::DeleteKey(args[1], args[2], args[3]) : ProfileFile::DeleteSection(args[1], args[2]);
    if (!ok) return CommandOutput::Error(platform::LastError::Text());
    return 0;
  }
  return CommandOutput::Usage("unknown ini subcommand \"" + sub + "\"");
}

}  // namespace qrv::tools
