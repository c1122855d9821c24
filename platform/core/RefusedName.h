#pragma once

#include <string>
#include <string_view>

namespace qrv::platform {

// Why a file name listed by an update server is not fetched, in words an
// administrator can act on. A name with control characters is a different
// fault (a damaged or hostile listing) from one that is absolute or climbs
// with "..", and saying "it leaves the download folder" for the first sends
// them looking in the wrong place.
//
// Thread: any; no state.
class RefusedName {
 public:
  // For a name the transfer layer refused (TransferPath::Normalise false):
  // "the name is empty", "the name holds control characters (shown
  // escaped: ...)", "the name is absolute and leaves the download folder",
  // "the name climbs out of the download folder with \"..\"", "the name has
  // a \".\" part". Checked in that order, so a name with a control
  // character is reported as such whatever else is wrong with it. Empty for
  // a name with none of these faults.
  static std::string Reason(std::string_view name);
};

}  // namespace qrv::platform
