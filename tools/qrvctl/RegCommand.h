#pragma once

#include <string>
#include <vector>

namespace qrv::tools {

// qrvctl reg query|add|delete|subkeys|export|import ...
// Exit status: 0 done, 1 failed or not found (message on stderr), 2 usage error.
class RegCommand {
 public:
  static int Run(const std::vector<std::string>& args);
  // Parses DWORD data as administrators type it: decimal or 0x-hexadecimal,
  // 0 to 4294967295. False for anything else.
  static bool ParseDword(const std::string& text, uint32_t& value);
  // Parses BINARY data: pairs of hex digits, optionally separated by ',', ' ' or ':'.
  static bool ParseBinary(const std::string& text, std::vector<uint8_t>& bytes);
};

}  // namespace qrv::tools
