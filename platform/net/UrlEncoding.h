#pragma once

#include <string>
#include <string_view>

namespace qrv::platform {

// Percent-encoding of the parts of a URL that come from data (file names from
// server files, values of a query), so that any byte sequence reaches the
// server as the same bytes.
//
// Every byte other than ASCII letters, digits and "-._~" is written as %XX
// (upper-case hex). That is more than a URL strictly needs ('+', ';', '=' may
// stand in a path), but servers disagree on what those mean in a path (a ';'
// starts parameters for some, a '+' is a space for others), while an encoded
// byte means the same to all of them.
class UrlEncoding {
 public:
  // A relative path: '/' separators are kept, each segment encoded. A '%' in
  // a name is a literal percent sign, never an escape that is already there.
  static std::string EncodePath(std::string_view path);
  // A query value: '/' is encoded too.
  static std::string EncodeQueryValue(std::string_view value);
};

}  // namespace qrv::platform
