#pragma once

#include <QString>
#include <memory>

class QWidget;

namespace qrv {

// How a window asks the user for a folder. The process has one picker: by
// default a QtFolderPicker (the desktop's folder dialog); tests install one
// that records what was asked and answers at once.
//
// Thread: the user-interface thread.
class FolderPicker {
 public:
  virtual ~FolderPicker() = default;
  // Asks for a folder, titled title, starting at start (may be empty or not
  // exist). The chosen folder's full path; empty when the user cancelled.
  virtual QString Pick(QWidget* parent, const QString& title, const QString& start) = 0;

  // The picker in force (never null); Install(nullptr) restores the default.
  static FolderPicker& Current();
  // Installs a picker for the whole process; returns the previous one.
  static std::shared_ptr<FolderPicker> Install(std::shared_ptr<FolderPicker> picker);
};

}  // namespace qrv
