#include "ui/CQUpdatePropertyPage.h"

#include <QKeyEvent>
#include <QLabel>

#include "ui/Artwork.h"
#include "ui/DialogUnits.h"

namespace qrv {

CQUpdatePropertyPage::CQUpdatePropertyPage(QWidget* parent) : QWidget(parent) {}

bool CQUpdatePropertyPage::IsCtrlTab(const QEvent* event) {
  if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride) return false;
  const auto* key = static_cast<const QKeyEvent*>(event);
  return (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) && (key->modifiers() & Qt::ControlModifier);
}

void CQUpdatePropertyPage::InstallKeyFilter() {
  installEventFilter(this);
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
}

bool CQUpdatePropertyPage::eventFilter(QObject* watched, QEvent* event) {
  if (IsCtrlTab(event)) {
    event->accept();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void CQUpdatePropertyPage::SetBanner(QLabel* banner) {
  const QSize size = DialogUnits(font()).Size(341, 36);
  banner->setFixedSize(size);
  banner->setPixmap(Artwork::Pixmap(1002, size));
}

}  // namespace qrv
