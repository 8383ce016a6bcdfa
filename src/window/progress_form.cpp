#include "window/progress_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>

#include "app/globals.h"
#include "dialogs/dialog_support.h"

namespace quorvel {
namespace {

constexpr TextPair kStopText{"Zatrzymaj", "Abort"};
constexpr TextPair kCaptionSuffix{"programowanie urządzenia", "programming device"};
constexpr int kMargin = 8;
// A full bar before the window is laid out.
constexpr int kMinimumBarWidth = 240;

}  // namespace

ProgressPanel::ProgressPanel(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setAccessibleName(label_);
  setFocusPolicy(Qt::StrongFocus);
}

QSize ProgressPanel::sizeHint() const {
  const int frame = 2 * frameWidth();
  return {kMinimumBarWidth + frame, fontMetrics().height() + 4 + frame};
}

void ProgressPanel::Show(const ProgressValues& values) {
  const QString label = ToQString(values.Label());
  if (values.SentBarWidth() == sent_ && values.WrittenBarWidth() == written_ && label == label_) {
    return;
  }
  sent_ = values.SentBarWidth();
  written_ = values.WrittenBarWidth();
  label_ = label;
  setAccessibleName(label_);
  update();
}

// The percentage is drawn in the window colour over the bar of acknowledged
// bytes and in the text colour beside it, so that it reads over both.
void ProgressPanel::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  QPainter painter(this);
  const QRect inner = contentsRect();
  const QRect sentBar(inner.left(), inner.top(), std::min(sent_, inner.width()), inner.height());
  const QRect writtenBar(inner.left(), inner.top(), std::min(written_, inner.width()),
                         inner.height());
  painter.fillRect(sentBar, palette().color(QPalette::Dark));
  painter.fillRect(writtenBar, palette().color(QPalette::Highlight));
  painter.save();
  painter.setClipRect(inner.adjusted(writtenBar.width(), 0, 0, 0));
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(inner, Qt::AlignCenter, label_);
  painter.restore();
  painter.setClipRect(writtenBar);
  painter.setPen(palette().color(QPalette::HighlightedText));
  painter.drawText(inner, Qt::AlignCenter, label_);
}

TFormProgress::TFormProgress(QWidget* mainWindow, bool monitorVisible, const QIcon& glyph)
    : QDialog(mainWindow),
      mainWindow_(mainWindow),
      panel_(new ProgressPanel(this)),
      stop_(new QPushButton(this)),
      monitor_(new QToolButton(this)) {
  // Not modal: the main window must stay closable during a run; it turns
  // its own commands off instead.
  setWindowModality(Qt::NonModal);
  setWindowTitle(ToQString(ProgramName()) + QStringLiteral(" ... ") + Text(kCaptionSuffix));
  stop_->setText(Text(kStopText));
  stop_->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));
  stop_->setAutoDefault(false);
  connect(stop_, &QPushButton::clicked, this, [this] { AskStop(); });
  monitor_->setIcon(glyph);
  monitor_->setAutoRaise(true);
  monitor_->setVisible(monitorVisible);
  monitor_->setAccessibleName(Text(kMonitorHint));
  monitor_->setToolTip(Text(kMonitorHint));
  connect(monitor_, &QToolButton::clicked, this, [this] {
    if (OnMonitor) OnMonitor();
  });
  LayOut();
  panel_->setFocus();
}

void TFormProgress::LayOut() {
  const QSize stopSize = stop_->sizeHint();
  const QSize monitorSize = monitor_->sizeHint();
  const QSize panelSize = panel_->sizeHint();
  // As wide as the caption needs with the title bar's buttons, and as the
  // button row needs.
  QFont captionFont = QApplication::font("QMdiSubWindowTitleBar");
  captionFont.setBold(true);
  const int captionButtons = 3 * style()->pixelMetric(QStyle::PM_TitleBarHeight);
  const int captionWidth =
      QFontMetrics(captionFont).horizontalAdvance(windowTitle()) + captionButtons;
  const int rowWidth = 2 * (monitorSize.width() + kMargin) + stopSize.width();
  const int width = std::max({captionWidth, rowWidth, panelSize.width()}) + 2 * kMargin;
  const int panelWidth = width - 2 * kMargin;
  panel_->setGeometry(kMargin, kMargin, panelWidth, panelSize.height());
  const int rowTop = kMargin + panelSize.height() + kMargin;
  stop_->setGeometry((width - stopSize.width()) / 2, rowTop, stopSize.width(), stopSize.height());
  monitor_->setGeometry(kMargin, rowTop + stopSize.height() - monitorSize.height(),
                        monitorSize.width(), monitorSize.height());
  setFixedSize(width, rowTop + stopSize.height() + kMargin);
  QRect placed =
      CentredOn(mainWindow_ != nullptr ? mainWindow_->frameGeometry() : WorkArea(this), size());
  move(KeepInside(placed, WorkArea(mainWindow_)).topLeft());
}

int TFormProgress::FullWidth() const {
  return panel_->contentsRect().width();
}

void TFormProgress::ShowProgress(const ProgressValues& values) {
  panel_->Show(values);
}

void TFormProgress::AskStop() {
  if (stopAsked_ || released_) return;
  stopAsked_ = true;
  if (OnStop) OnStop();
}

void TFormProgress::Release() {
  released_ = true;
  OnStop = nullptr;
  hide();
}

void TFormProgress::reject() {
  AskStop();
}

// Closing by the window frame asks for a stop as Stop does; the window goes
// when the run has ended.
void TFormProgress::closeEvent(QCloseEvent* event) {
  if (released_) {
    event->accept();
    return;
  }
  event->ignore();
  AskStop();
}

}  // namespace quorvel
