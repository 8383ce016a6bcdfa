#include "dialogs/about_box.h"

#include <QEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSysInfo>
#include <QVBoxLayout>
#include <algorithm>

#include "app/globals.h"
#include "dialogs/dialog_support.h"
#include "dialogs/link_label.h"
#include "dialogs/product_data.h"
#include "dialogs/product_images.h"

namespace quorvel {

// The frame behind the labels; paints the watermark tile over its ground.
class WatermarkPanel final : public QFrame {
 public:
  explicit WatermarkPanel(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
  }
  void SetTile(const QImage& tile) {
    tile_ = tile;
    update();
  }
  const QImage& Tile() const { return tile_; }

 protected:
  void paintEvent(QPaintEvent* event) override {
    if (!tile_.isNull()) {
      QPainter painter(this);
      painter.fillRect(contentsRect(), QBrush(tile_));
    }
    QFrame::paintEvent(event);
  }

 private:
  QImage tile_;
};

namespace {

constexpr TextPair kCaptionSuffix{"... O programie", "... About"};
constexpr TextPair kVersionPrefix{"wersja ", "ver. "};
constexpr TextPair kPhonePrefix{"tel.: ", "phone: "};
constexpr std::string_view kMailPrefix = "e-mail: ";
// Purpose text by edition.
constexpr TextPair kPurpose[2]{
    {"Aplikacja przeznaczona do samodzielnego uaktualniania wewnętrznego oprogramowania  "
     "użytkowego urządzeń produkcji VARNELD wyposażonych w bootloader Q-LOAD.",
     "Application designed to upgrading firmware in instruments made by VARNELD equipped with "
     "Q-LOAD bootloader."},
    {"Aplikacja przeznaczona do samodzielnego uaktualniania wewnętrznego oprogramowania  "
     "użytkowego urządzeń wyposażonych w bootloader Q-LOAD.",
     "Application designed to upgrading firmware in instruments equipped with Q-LOAD "
     "bootloader."}};

// Size of one watermark logo and the tile around it.
constexpr QSize kLogoSize(96, 24);
constexpr QSize kTileSize(120, 44);

QLabel* AddLabel(QVBoxLayout* layout, const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->setAccessibleName(text);
  layout->addWidget(label);
  return label;
}

QString BuildLineText() {
  return QStringLiteral("Qt %1, %2, %3")
      .arg(qVersion(),
           QStringLiteral(
#if defined(__clang__)
               "clang " __clang_version__
#elif defined(__GNUC__)
               "GCC " __VERSION__
#else
               "C++"
#endif
               ),
           QSysInfo::buildCpuArchitecture());
}

}  // namespace

bool ShowsBuildLine(Qt::KeyboardModifiers held) {
  return held.testFlag(Qt::ShiftModifier) && held.testFlag(Qt::ControlModifier);
}

QImage BuildWatermark(const QColor& window) {
  QImage tile(kTileSize, QImage::Format_ARGB32_Premultiplied);
  tile.fill(Qt::transparent);
  QPainter painter(&tile);
  painter.drawImage((kTileSize.width() - kLogoSize.width()) / 2,
                    (kTileSize.height() - kLogoSize.height()) / 2,
                    RenderImage(kImageLogoMask, kLogoSize));
  // Keep the mask's shape, take the colour.
  painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
  painter.fillRect(tile.rect(),
                   QColor(std::max(0, window.red() - 8), std::max(0, window.green() - 8),
                          std::max(0, window.blue() - 8)));
  return tile;
}

AboutBox::AboutBox(QWidget* owner, Qt::KeyboardModifiers held)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  const PublisherData& publisher = Publisher();
  setWindowTitle(ToQString(ProgramName()) + Text(kCaptionSuffix));

  panel_ = new WatermarkPanel(this);
  auto* icon = new QLabel(panel_);
  icon->setPixmap(ApplicationIcon().pixmap(48, 48));
  icon->setAccessibleName(ToQString(ProgramName()));
  icon->setAlignment(Qt::AlignTop);

  auto* labels = new QVBoxLayout;
  labels->setSpacing(4);
  productName_ = AddLabel(labels, ToQString(ProgramName()), panel_);
  QFont nameFont = productName_->font();
  nameFont.setPointSizeF(nameFont.pointSizeF() * 10 / 8);
  nameFont.setBold(true);
  productName_->setFont(nameFont);
  AddLabel(labels, Text(kVersionPrefix) + QStringLiteral(QUORVEL_VERSION), panel_);
  QLabel* purpose = AddLabel(labels, Text(kPurpose[Edition == 0 ? 0 : 1]), panel_);
  purpose->setWordWrap(true);
  // About 48 average characters a line.
  const int purposeWidth = purpose->fontMetrics().averageCharWidth() * 48;
  purpose->setFixedSize(purposeWidth, purpose->heightForWidth(purposeWidth));
  labels->addSpacing(6);
  AddLabel(labels, ToQString(publisher.company), panel_);
  AddLabel(labels, Text(publisher.address), panel_);
  AddLabel(labels, Text(kPhonePrefix) + ToQString(publisher.phone), panel_);
  web_ = new LinkLabel(ToQString(publisher.web), QUrl(ToQString(publisher.web)), panel_);
  labels->addWidget(web_);
  mail_ = new LinkLabel(ToQString(kMailPrefix) + ToQString(publisher.email),
                        QUrl(QStringLiteral("mailto:") + ToQString(publisher.email)), panel_);
  labels->addWidget(mail_);
  buildLine_ = AddLabel(labels, BuildLineText(), panel_);
  buildLine_->setVisible(ShowsBuildLine(held));

  auto* panelLayout = new QHBoxLayout(panel_);
  panelLayout->setContentsMargins(12, 12, 16, 12);
  panelLayout->setSpacing(12);
  panelLayout->addWidget(icon, 0, Qt::AlignTop);
  panelLayout->addLayout(labels);

  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setAccessibleName(ok_->text());
  ok_->setDefault(true);
  ok_->setMinimumWidth(std::max(91, ok_->sizeHint().width()));
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(panel_);
  layout->addWidget(ok_, 0, Qt::AlignHCenter);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  RebuildWatermark();
  ok_->setFocus();
}

QImage AboutBox::Watermark() const {
  return panel_->Tile();
}

void AboutBox::RebuildWatermark() {
  panel_->SetTile(Edition == 0 ? BuildWatermark(palette().color(QPalette::Window)) : QImage());
}

void AboutBox::changeEvent(QEvent* event) {
  if (event->type() == QEvent::PaletteChange) RebuildWatermark();
  QDialog::changeEvent(event);
}

void ShowAbout(QWidget* owner) {
  QPointer<AboutBox> box = new AboutBox(owner, QGuiApplication::queryKeyboardModifiers());
  const QRect area = WorkArea(owner);
  box->adjustSize();
  const QRect around =
      owner != nullptr && owner->window()->isVisible() ? owner->window()->frameGeometry() : area;
  box->move(KeepInside(CentredOn(around, FrameSize(box)), area).topLeft());
  box->exec();
  delete box;
}

}  // namespace quorvel
