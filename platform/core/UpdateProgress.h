#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qrv::platform {

// Where the applying stages report progress: the window (or console) of the
// running update. The orchestrator installs its front-end; without one the
// reports go nowhere.
//
// Kinds of NotifyProductStatus / NotifyProgressText: 1 downloading,
// 3 copying, 4 deleting, 7 cancelling; 9 (progress text only) a product
// left out of the run, the text naming it.
//
// Thread: called from the user-interface thread, except SetRestartRequired,
// which the unpacking worker may call; implementations make that one safe.
class UpdateProgress {
 public:
  static constexpr uint32_t kDownloading = 1;
  static constexpr uint32_t kCopying = 3;
  static constexpr uint32_t kDeleting = 4;
  static constexpr uint32_t kCancelling = 7;
  static constexpr uint32_t kDropped = 9;

  virtual ~UpdateProgress() = default;
  virtual void NotifyProductStatus(const std::string& /*product*/, uint32_t /*kind*/) {}
  virtual void NotifyProgressText(uint32_t /*kind*/, const std::string& /*text*/, uint32_t /*value*/) {}
  virtual void SetProgressRange(uint32_t /*count*/) {}
  virtual void SetRestartRequired(uint32_t /*flag*/) {}

  // The sink in force (never null); Install(nullptr) restores the silent one.
  static UpdateProgress& Current();
  static std::shared_ptr<UpdateProgress> Install(std::shared_ptr<UpdateProgress> progress);
};

}  // namespace qrv::platform
