#pragma once

#include <string>
#include <string_view>

namespace qrv::tools {

// How every qrvctl command talks back: results to standard output, errors to
// standard error prefixed with the program name.
class CommandOutput {
 public:
  static void Line(std::string_view text);
  static void Raw(std::string_view text);
  // Prints "qrvctl: text" to standard error and returns exit status 1.
  static int Error(std::string_view text);
  // Prints the usage error and returns exit status 2.
  static int Usage(std::string_view text);
};

}  // namespace qrv::tools
