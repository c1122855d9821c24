#pragma once

#include <string_view>

namespace qrv::tools {

// How every qrvpublish command talks back: results to standard output,
// errors to standard error prefixed with the program name. Texts may come
// from release files and trees made by others, so control characters are
// shown as escapes (platform::DisplayText::Escape) and cannot act on the
// terminal.
//
// Thread: the program's main thread.
class PublishOutput {  // static functions only
 public:
  static void Line(std::string_view text);
  // Prints "qrvpublish: text" to standard error and returns exit status 1.
  static int Error(std::string_view text);
  // Prints "qrvpublish: text" to standard error and returns exit status 2.
  static int Usage(std::string_view text);
};

}  // namespace qrv::tools
