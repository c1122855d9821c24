#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/core/ProgressKind.h"

namespace qrv::platform {

// Where the applying stages report progress: the window (or console) of the
// running update. The orchestrator installs its front-end; without one the
// reports go nowhere.
//
// Thread: called from the user-interface thread, except SetRestartRequired,
// which the unpacking worker may call; implementations make that one safe.
class UpdateProgress {
 public:

  virtual ~UpdateProgress() = default;
  virtual void NotifyProductStatus(const std::string& /*product*/, ProgressKind /*kind*/) {}
  virtual void NotifyProgressText(ProgressKind /*kind*/, const std::string& /*text*/, uint32_t /*value*/) {}
  virtual void SetProgressRange(uint32_t /*count*/) {}
  virtual void SetRestartRequired(uint32_t /*flag*/) {}

  // The sink in force (never null); Install(nullptr) restores the silent one.
  static UpdateProgress& Current();
  static std::shared_ptr<UpdateProgress> Install(std::shared_ptr<UpdateProgress> progress);
};

}  // namespace qrv::platform
