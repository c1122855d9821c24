#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace qrv {

// Converts the dialog units in which the forms were first laid out into
// pixels for a font: a horizontal unit is a quarter of the font's average
// character width, a vertical unit an eighth of its height. Sizes so
// converted grow with the user's font, as the layouts do.
//
// Thread: the user-interface thread (font metrics).
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);

  int X(int units) const;
  int Y(int units) const;
  QSize Size(int width, int height) const { return {X(width), Y(height)}; }
  QRect Rect(int x, int y, int width, int height) const { return {X(x), Y(y), X(width), Y(height)}; }
  // The font's average character width and height in pixels.
  int BaseX() const { return m_baseX; }
  int BaseY() const { return m_baseY; }

 private:
  int m_baseX;
  int m_baseY;
};

}  // namespace qrv
