#include "ui/QtFolderPicker.h"

#include <QDir>
#include <QFileDialog>

namespace qrv {

QString QtFolderPicker::Pick(QWidget* parent, const QString& title, const QString& start) {
  const QString from = !start.isEmpty() && QDir(start).exists() ? start : QDir::homePath();
  return QFileDialog::getExistingDirectory(parent, title, from, QFileDialog::ShowDirsOnly);
}

}  // namespace qrv
