#include "ui/QtStatusControl.h"

#include <QFontMetrics>
#include <QLabel>

namespace qrv {

void QtStatusControl::SetText(const std::string& text) {
  const QString whole = QString::fromStdString(text);
  const int width = m_label->width();
  const QFontMetrics metrics(m_label->font());
  const bool fits = width <= 0 || metrics.horizontalAdvance(whole) <= width;
  m_label->setText(fits ? whole : metrics.elidedText(whole, Qt::ElideRight, width));
  m_label->setToolTip(fits ? QString() : whole);
}

}  // namespace qrv
