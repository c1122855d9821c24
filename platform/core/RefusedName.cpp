#include "platform/core/RefusedName.h"

#include "platform/core/DisplayText.h"

namespace qrv::platform {

std::string RefusedName::Reason(std::string_view name) {
  if (name.empty()) return "the name is empty";
  if (DisplayText::NeedsEscape(name)) {
    return "the name holds control characters (shown escaped: " + DisplayText::Escape(name) + ")";
  }
  // "/x", "\x" and drive letters such as "C:x"
  if (name.front() == '/' || name.front() == '\\' || (name.size() >= 2 && name[1] == ':')) {
    return "the name is absolute and leaves the download folder";
  }
  bool dot = false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (part == "..") return "the name climbs out of the download folder with \"..\"";
    if (part == ".") dot = true;
    start = end + 1;
  }
  if (dot) return "the name has a \".\" part";
  return {};
}

}  // namespace qrv::platform
