#pragma once

#include <cstdint>

namespace qrv {

// The phases of one update run, in the order a run moves through them. The
// numbers appear in the trace.
enum class UpdatePhase : int32_t {
  kNone = -1,  // no phase entered yet
  kPrepare = 0,
  kDownload = 1,
  kWait = 2,
  kFileCopy = 3,
  kFinalize = 4,
  kFinish = 5,
};

}  // namespace qrv
