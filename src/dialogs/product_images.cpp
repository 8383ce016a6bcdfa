#include "dialogs/product_images.h"

#include <QPainter>
#include <QSvgRenderer>

// The resource initialiser lives in the global namespace.
static void InitQuorvelResources() {
  Q_INIT_RESOURCE(quorvel);
}

namespace quorvel {

void LoadImageResources() {
  static const bool loaded = [] {
    InitQuorvelResources();
    return true;
  }();
  (void)loaded;
}

QImage RenderImage(const QString& name, const QSize& size, qreal devicePixelRatio) {
  LoadImageResources();
  QSvgRenderer renderer(name);
  if (!renderer.isValid() || size.isEmpty()) return {};
  QImage image(size * devicePixelRatio, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  {
    QPainter painter(&image);
    renderer.render(&painter);
  }
  image.setDevicePixelRatio(devicePixelRatio);
  return image;
}

QPixmap RenderPixmap(const QString& name, const QSize& size, qreal devicePixelRatio) {
  return QPixmap::fromImage(RenderImage(name, size, devicePixelRatio));
}

QIcon ApplicationIcon() {
  QIcon icon;
  for (int side : {16, 24, 32, 48, 64, 128, 256}) {
    icon.addPixmap(RenderPixmap(kImageAppIcon, QSize(side, side)));
  }
  return icon;
}

}  // namespace quorvel
