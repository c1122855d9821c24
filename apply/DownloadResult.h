#pragma once

#include <cstdint>

namespace qrv {

// How the download of the listed files ended. The numbers are passed on to
// the window (OnFileTransferError) and decide the stored state, so they stay
// as they are; 3 is the orchestrator's "server not reachable".
enum class DownloadResult : int32_t {
  kFolderFailed = 0,      // a local folder could not be made (message 140 shown)
  kDone = 1,              // every product handled
  kCancelled = 2,         // the user asked to stop
  kNoConnection = 3,      // the server could not be reached
  kPrepareFailed = 4,     // the transport's preparation for a product failed
  kSignatureRefused = 5,  // a file's signature was refused
  kFileFailed = 6,        // a file could not be fetched
};

constexpr int32_t ToCode(DownloadResult result) { return static_cast<int32_t>(result); }

}  // namespace qrv
