#include "ui/Artwork.h"

#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QSvgRenderer>

// The pictures are compiled into this static library; a linker keeps only
// the objects something names, so the resource registers itself only when
// called by name (Q_INIT_RESOURCE must stand outside any namespace).
static void RegisterArtwork() {
  static const bool registered = [] {
    Q_INIT_RESOURCE(art);
    return true;
  }();
  (void)registered;
}

namespace qrv {

QString Artwork::Path(int id) {
  RegisterArtwork();
  const QString path = QStringLiteral(":/art/%1.svg").arg(id);
  return QFile::exists(path) ? path : QString();
}

QIcon Artwork::Icon(int id) {
  const QString path = Path(id);
  return path.isEmpty() ? QIcon() : QIcon(path);
}

QPixmap Artwork::Pixmap(int id, const QSize& size) {
  const QString path = Path(id);
  if (path.isEmpty() || size.isEmpty()) return {};
  QSvgRenderer renderer(path);
  if (!renderer.isValid()) return {};
  const qreal ratio = qApp != nullptr ? qApp->devicePixelRatio() : 1.0;
  QPixmap pixmap(size * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
  return pixmap;
}

}  // namespace qrv
