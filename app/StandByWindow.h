#pragma once

namespace qrv {

// The small "please wait" window shown while an interactive run asks the
// server what is new. The front-end supplies it through
// CQUpdateBase::SetStandByFactory; without one nothing is shown.
//
// Created (shown and painted at once) and destroyed on the user-interface
// thread.
class StandByWindow {
 public:
  virtual ~StandByWindow() = default;
  // Moves the activity text on by one step, so the user sees the work going.
  virtual void Advance() = 0;
};

}  // namespace qrv
