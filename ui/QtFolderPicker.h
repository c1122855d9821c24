#pragma once

#include "ui/FolderPicker.h"

namespace qrv {

// The desktop's folder dialog (QFileDialog), folders only, starting at the
// given folder when it exists.
class QtFolderPicker : public FolderPicker {
 public:
  QString Pick(QWidget* parent, const QString& title, const QString& start) override;
};

}  // namespace qrv
