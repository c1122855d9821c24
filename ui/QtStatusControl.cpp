#include "ui/QtStatusControl.h"

#include <QFontMetrics>
#include <QLabel>

#include "ui/FormTexts.h"

namespace qrv {

void QtStatusControl::SetText(const std::string& text) {
  // A file name from the server is text, never markup.
  m_label->setTextFormat(Qt::PlainText);
  const QString whole = QString::fromStdString(text);
  const int width = m_label->width();
  const QFontMetrics metrics(m_label->font());
  const bool fits = width <= 0 || metrics.horizontalAdvance(whole) <= width;
  m_label->setText(fits ? whole : metrics.elidedText(whole, Qt::ElideRight, width));
  m_label->setToolTip(fits ? QString() : FormTexts::PlainToolTip(whole));
}

}  // namespace qrv
