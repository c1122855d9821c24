#pragma once

#include <string>

namespace qrv {

// The one-line status text of a window. The window owns the control; the
// orchestrator keeps a plain pointer to it.
//
// Thread: the user-interface thread.
class StatusControl {
 public:
  virtual ~StatusControl() = default;
  virtual void SetText(const std::string& text) = 0;
};

}  // namespace qrv
