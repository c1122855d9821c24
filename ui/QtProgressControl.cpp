#include "ui/QtProgressControl.h"

#include <QProgressBar>
#include <algorithm>

namespace qrv {

void QtProgressControl::SetRange(int32_t low, int32_t high) { m_bar->setRange(low, std::max(low, high)); }

void QtProgressControl::StepIt() { SetPos(GetPos() + m_step); }

int32_t QtProgressControl::GetPos() const {
  // A bar that was never set (or was reset) reports one below its minimum.
  return std::max(m_bar->value(), m_bar->minimum());
}

void QtProgressControl::SetPos(int32_t pos) { m_bar->setValue(std::clamp(pos, m_bar->minimum(), m_bar->maximum())); }

}  // namespace qrv
