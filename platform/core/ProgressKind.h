#pragma once

#include <cstdint>

namespace qrv::platform {

// What a progress report is about. The numbers are the ones the window
// interface passes; any other value (2, "waiting", among them) shows the
// waiting text and resets the bar.
enum class ProgressKind : uint32_t {
  kDownloading = 1,
  kWaiting = 2,
  kCopying = 3,
  kDeleting = 4,
  kCancelling = 7,
  kDropped = 9,  // progress text only: a product left out of the run, the text naming it
};

}  // namespace qrv::platform
