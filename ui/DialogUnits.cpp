#include "ui/DialogUnits.h"

#include <QFontMetrics>

namespace qrv {

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  // The average over both alphabets, rounded as dialog templates always were.
  const int width = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  m_baseX = (width / 26 + 1) / 2;
  m_baseY = metrics.height();
  if (m_baseX < 1) m_baseX = 1;
  if (m_baseY < 1) m_baseY = 1;
}

// Rounded to the nearest pixel, as the dialog manager does.
int DialogUnits::X(int units) const { return (units * m_baseX + 2) / 4; }
int DialogUnits::Y(int units) const { return (units * m_baseY + 4) / 8; }

}  // namespace qrv
