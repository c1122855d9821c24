#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace qrv {

// The program's own pictures (res/art, SVG, compiled into the program), by
// the resource ids the windows name them with: 128 the program icon, 149,
// 150 and 151 the tray icons (idle, working, ready), 158 and 161 the browse
// button (normal, disabled), 1002 the banner across the top of the pages.
//
// Thread: the user-interface thread.
class Artwork {
 public:
  // The picture as an icon that renders sharp at any size; a null icon for
  // an id that has no picture.
  static QIcon Icon(int id);
  // The picture drawn at size (device-independent pixels) for the screen's
  // pixel density; a null pixmap for an id that has no picture.
  static QPixmap Pixmap(int id, const QSize& size);
  // The resource path of the picture (":/art/<id>.svg"); empty when none.
  static QString Path(int id);
};

}  // namespace qrv
