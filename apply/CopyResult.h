#pragma once

#include <cstdint>

namespace qrv {

// How applying the downloaded files ended; the numbers are passed on to the
// window interface.
enum class CopyResult : int32_t {
  kFailed = 0,
  kDone = 1,
  kCancelled = 2,
};

constexpr int32_t ToCode(CopyResult result) { return static_cast<int32_t>(result); }

}  // namespace qrv
