#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace qrv::tools {

// How every qrvctl command talks back: results to standard output, errors to
// standard error prefixed with the program name.
//
// What the commands print comes largely from the store, profile files,
// cabinets and servers, which a product file or an update server may have
// written: a control character among it would act on the administrator's
// terminal (ESC sequences retitle the window or clear the screen) or break a
// line in two. Line, Fields, Error and Usage therefore show such characters
// (and bytes that are not UTF-8) as escapes (platform::DisplayText::Escape:
// ESC as \e, a tab as \t, others as \xNN); only Raw writes bytes as they are,
// for output that is data (an exported registry file, a decrypted password).
//
// Thread: the program's main thread.
class CommandOutput {
 public:
  // The text, escaped, and a line end.
  static void Line(std::string_view text);
  // Each field escaped, joined by tabs, and a line end: a tab within a field
  // shows as \t and never splits the line.
  static void Fields(std::initializer_list<std::string_view> fields);
  // The bytes exactly as given.
  static void Raw(std::string_view text);
  // Prints "qrvctl: text" (escaped) to standard error and returns exit status 1.
  static int Error(std::string_view text);
  // Prints the usage error (escaped) and returns exit status 2.
  static int Usage(std::string_view text);
};

}  // namespace qrv::tools
