// The program's own images, drawn from SVG in the program's resources.
#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QString>

namespace quorvel {

// Resource paths of the images.
inline const QString kImageAppIcon = QStringLiteral(":/images/app_icon.svg");
inline const QString kImageLogo = QStringLiteral(":/images/logo.svg");
inline const QString kImageLogoMask = QStringLiteral(":/images/logo_mask.svg");
inline const QString kImageCom = QStringLiteral(":/images/COM16x16.svg");
inline const QString kImageUsb = QStringLiteral(":/images/USB16x16.svg");
inline const QString kImageOpen = QStringLiteral(":/images/open.svg");
inline const QString kImageProgram = QStringLiteral(":/images/program.svg");
inline const QString kImageEncode = QStringLiteral(":/images/encode.svg");
inline const QString kImageSaveLog = QStringLiteral(":/images/save_log.svg");
inline const QString kImageHelp = QStringLiteral(":/images/help.svg");

// Makes the resources available (they live in a static library); called by
// every function below, harmless to call again.
void LoadImageResources();

// An image drawn at a size in device-independent pixels for a device pixel
// ratio, on a transparent background; a null image for an unknown name.
QImage RenderImage(const QString& name, const QSize& size, qreal devicePixelRatio = 1.0);

// The same as a pixmap.
QPixmap RenderPixmap(const QString& name, const QSize& size, qreal devicePixelRatio = 1.0);

// The application icon at the usual sizes.
QIcon ApplicationIcon();

}  // namespace quorvel
