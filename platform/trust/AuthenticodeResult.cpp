#include "platform/trust/AuthenticodeResult.h"

namespace qrv::platform {

const char* AuthenticodeResult::StatusName(Status status) {
  switch (status) {
    case Status::kAccepted: return "accepted";
    case Status::kUnreadable: return "unreadable";
    case Status::kNotCabinet: return "not a cabinet";
    case Status::kNotSigned: return "not signed";
    case Status::kMalformed: return "malformed";
    case Status::kBadDigest: return "bad digest";
    case Status::kBadSignature: return "bad signature";
    case Status::kUntrusted: return "untrusted";
    case Status::kExpired: return "expired";
    case Status::kWrongUsage: return "wrong usage";
    case Status::kAnchorsUnavailable: return "trust anchors unavailable";
  }
  return "unknown";
}

}  // namespace qrv::platform
