#include "window/progress_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <chrono>

#include "app/globals.h"
#include "dialogs/dialog_support.h"

namespace quorvel {
namespace {

constexpr TextPair kStopText{"Zatrzymaj", "Abort"};
constexpr TextPair kCaptionSuffix{"programowanie urządzenia", "programming device"};
constexpr TextPair kWrittenCaption{"Zapisano:", "Written:"};
constexpr TextPair kWrittenOf{"%1 z %2 bajtów", "%1 of %2 bytes"};
constexpr TextPair kRateCaption{"Szybkość:", "Rate:"};
constexpr TextPair kElapsedCaption{"Upłynęło:", "Elapsed:"};
constexpr TextPair kLeftCaption{"Pozostało:", "Time left:"};
// The widest bytes row the window makes room for.
constexpr uint32_t kWidestBytes = 99'999'999;
constexpr int kMargin = 8;
// The elapsed time and the time left move on between two blocks.
constexpr int kClockTickMs = 500;
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

namespace {

// The program's language for numbers: "65 536" and "11,5" in Polish.
QLocale NumberLocale() {
  QLocale locale(Language == 0 ? QLocale::Polish : QLocale::English);
  locale.setNumberOptions(QLocale::DefaultNumberOptions);
  return locale;
}

QString BytesWrittenText(uint32_t written, uint32_t total) {
  const QLocale locale = NumberLocale();
  return Text(kWrittenOf).arg(locale.toString(written), locale.toString(total));
}

}  // namespace

int64_t TFormProgress::SteadyMilliseconds() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TFormProgress::TFormProgress(QWidget* mainWindow, bool monitorVisible, const QIcon& glyph,
                             RunTiming::Clock clock)
    : QDialog(mainWindow),
      mainWindow_(mainWindow),
      panel_(new ProgressPanel(this)),
      stop_(new QPushButton(this)),
      monitor_(new QToolButton(this)),
      timesBox_(new QWidget(this)),
      clockTick_(new QTimer(this)),
      timing_(std::move(clock)) {
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
  BuildTimes();
  LayOut();
  panel_->setFocus();
  connect(clockTick_, &QTimer::timeout, this, [this] { ShowTimes(); });
  clockTick_->start(kClockTickMs);
}

// Caption and value per row; the rate and the time left keep their place
// while they cannot be told yet, so that the window keeps its size.
void TFormProgress::BuildTimes() {
  auto* grid = new QGridLayout(timesBox_);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setHorizontalSpacing(kMargin);
  grid->setVerticalSpacing(2);
  auto row = [this, grid](const TextPair& caption, QLabel** captionLabel) {
    auto* name = new QLabel(Text(caption), timesBox_);
    auto* value = new QLabel(timesBox_);
    value->setTextInteractionFlags(Qt::NoTextInteraction);
    for (QLabel* label : {name, value}) {
      QSizePolicy policy = label->sizePolicy();
      policy.setRetainSizeWhenHidden(true);
      label->setSizePolicy(policy);
    }
    const int at = grid->rowCount();
    grid->addWidget(name, at, 0);
    grid->addWidget(value, at, 1);
    if (captionLabel != nullptr) *captionLabel = name;
    return value;
  };
  writtenValue_ = row(kWrittenCaption, nullptr);
  rateValue_ = row(kRateCaption, &rateCaption_);
  elapsedValue_ = row(kElapsedCaption, nullptr);
  leftValue_ = row(kLeftCaption, &leftCaption_);
  grid->setColumnStretch(1, 1);
  // Room for the widest values the window shows.
  const QFontMetrics metrics = writtenValue_->fontMetrics();
  writtenValue_->setMinimumWidth(
      metrics.horizontalAdvance(BytesWrittenText(kWidestBytes, kWidestBytes)));
  elapsedValue_->setMinimumWidth(metrics.horizontalAdvance(QStringLiteral("00:00:00")));
  ShowTimes();
}

void TFormProgress::ShowTimes() {
  times_ = timing_.Now();
  const QLocale locale = NumberLocale();
  writtenValue_->setText(BytesWrittenText(times_.written, times_.total));
  const bool rateKnown = times_.bytesPerSecond.has_value();
  rateValue_->setText(rateKnown ? ToQString(RateText(*times_.bytesPerSecond,
                                                     locale.decimalPoint().at(0).toLatin1()))
                                : QString());
  rateCaption_->setVisible(rateKnown);
  rateValue_->setVisible(rateKnown);
  elapsedValue_->setText(ToQString(DurationText(times_.elapsedMs, false)));
  const bool leftKnown = times_.leftMs.has_value();
  leftValue_->setText(leftKnown ? ToQString(DurationText(*times_.leftMs, true)) : QString());
  leftCaption_->setVisible(leftKnown);
  leftValue_->setVisible(leftKnown);
  emit timesShown();
}

QStringList TFormProgress::TimeTexts() const {
  QStringList texts;
  for (const QLabel* value : {writtenValue_, rateValue_, elapsedValue_, leftValue_}) {
    texts.append(value->isVisibleTo(this) ? value->text() : QString());
  }
  return texts;
}

void TFormProgress::LayOut() {
  const QSize stopSize = stop_->sizeHint();
  const QSize monitorSize = monitor_->sizeHint();
  const QSize panelSize = panel_->sizeHint();
  const QSize timesSize = timesBox_->sizeHint();
  // As wide as the caption needs with the title bar's buttons, and as the
  // button row needs.
  QFont captionFont = QApplication::font("QMdiSubWindowTitleBar");
  captionFont.setBold(true);
  const int captionButtons = 3 * style()->pixelMetric(QStyle::PM_TitleBarHeight);
  const int captionWidth =
      QFontMetrics(captionFont).horizontalAdvance(windowTitle()) + captionButtons;
  const int rowWidth = 2 * (monitorSize.width() + kMargin) + stopSize.width();
  const int width =
      std::max({captionWidth, rowWidth, panelSize.width(), timesSize.width()}) + 2 * kMargin;
  const int panelWidth = width - 2 * kMargin;
  panel_->setGeometry(kMargin, kMargin, panelWidth, panelSize.height());
  const int timesTop = kMargin + panelSize.height() + kMargin;
  timesBox_->setGeometry(kMargin, timesTop, panelWidth, timesSize.height());
  const int rowTop = timesTop + timesSize.height() + kMargin;
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
  if (released_) return;
  const RunTimes before = times_;
  timing_.Progress(values.Written(), values.Max());
  const RunTimes now = timing_.Now();
  // A block sent moves no time; one written does.
  if (now.written != before.written || now.total != before.total || now.leftMs != before.leftMs) {
    ShowTimes();
  }
}

void TFormProgress::AskStop() {
  if (stopAsked_ || released_) return;
  stopAsked_ = true;
  if (OnStop) OnStop();
}

void TFormProgress::Release() {
  timing_.End();
  clockTick_->stop();
  if (!released_) ShowTimes();
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
