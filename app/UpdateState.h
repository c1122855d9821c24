#pragma once

#include <cstdint>

namespace qrv {

// Codes stored as UpdateState so that a run interrupted by a crash, a
// log-off or a restart can be resumed by the next automatic start. The
// numbers are stored: they never change.
enum class UpdateState : uint32_t {
  kDone = 0,
  kDownloadBegun = 11,
  kDownloaded = 12,
  kDownloadFailed = 13,
  kSignatureFailed = 14,
  kCopyBegun = 21,
  kCopied = 22,
  kCopyFailed = 23,
  kActionsBegun = 31,
  kActionsDone = 32,
  kCommitBegun = 41,
  kCommitted = 42,
};

}  // namespace qrv
