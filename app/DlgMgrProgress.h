#pragma once

#include <cstdint>
#include <string>

#include "platform/core/UpdateProgress.h"

namespace qrv {

// The progress sink of an update run: hands the reports of the transfer
// layer and the file replacement engine to the registered process object,
// which passes them on to its window. Holds no pointer of its own, so it
// stays harmless when installed longer than the process object lives.
//
// Thread: as platform::UpdateProgress; SetRestartRequired may come from the unpacking
// worker and only stores an atomic flag.
class DlgMgrProgress : public platform::UpdateProgress {
 public:
  void NotifyProductStatus(const std::string& product, platform::ProgressKind kind) override;
  void NotifyProgressText(platform::ProgressKind kind, const std::string& text, uint32_t value) override;
  void SetProgressRange(uint32_t count) override;
  void SetRestartRequired(uint32_t flag) override;
};

}  // namespace qrv
