#pragma once

#include <cstdint>

namespace qrv {

// The progress bar of a window, as the orchestrator drives it. The window
// owns the control; the orchestrator keeps a plain pointer to it.
//
// Thread: the user-interface thread.
class ProgressControl {
 public:
  virtual ~ProgressControl() = default;
  virtual void SetRange(int32_t low, int32_t high) = 0;
  virtual void SetStep(int32_t step) = 0;
  // Advances the position by the step.
  virtual void StepIt() = 0;
  virtual int32_t GetPos() const = 0;
  virtual void SetPos(int32_t pos) = 0;
};

}  // namespace qrv
