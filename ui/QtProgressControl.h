#pragma once

#include "app/ProgressControl.h"

class QProgressBar;

namespace qrv {

// The orchestrator's progress bar on a QProgressBar. A step past the end of
// the range leaves the bar full instead of starting over: more reports than
// files may come, and a bar that empties again reads as a new phase.
//
// The bar is not owned and must outlive this object. Thread: the
// user-interface thread.
class QtProgressControl : public ProgressControl {
 public:
  explicit QtProgressControl(QProgressBar* bar) : m_bar(bar) {}

  void SetRange(int32_t low, int32_t high) override;
  void SetStep(int32_t step) override { m_step = step; }
  void StepIt() override;
  int32_t GetPos() const override;
  void SetPos(int32_t pos) override;

 private:
  QProgressBar* m_bar;
  int32_t m_step = 10;
};

}  // namespace qrv
