#pragma once

#include "app/StatusControl.h"

class QLabel;

namespace qrv {

// The orchestrator's status line on a QLabel. The orchestrator already keeps
// the text to CQUpdateDlgMgr::kStatusChars characters; a label too narrow
// for it (large fonts) ends it in an ellipsis and keeps the whole text as
// its tool tip.
//
// The label is not owned and must outlive this object. Thread: the
// user-interface thread.
class QtStatusControl : public StatusControl {
 public:
  explicit QtStatusControl(QLabel* label) : m_label(label) {}

  void SetText(const std::string& text) override;

 private:
  QLabel* m_label;
};

}  // namespace qrv
