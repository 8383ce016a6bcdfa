// The progress window of a programming run: the bar of bytes sent, the bar
// of bytes acknowledged over it, the percentage, the bytes written of the
// total, the rate, the time elapsed and the time left, the Stop button and
// the shortcut to the port-buffer monitor. It stays over the main window, which
// turns its commands off meanwhile; it has no modal loop of its own: the
// main thread keeps running the run, and the main window can be closed.
#pragma once

#include <QDialog>
#include <QFrame>
#include <QIcon>
#include <QStringList>
#include <functional>

#include "app/globals.h"
#include "run/progress_values.h"
#include "run/run_timing.h"

class QLabel;
class QPushButton;
class QTimer;
class QToolButton;

namespace quorvel {

// The hint of the monitor button, here and in the main window.
constexpr TextPair kMonitorHint{"Pokaż bufor portu komunikacji", "Show comm port buffer"};

// The lowered panel with the two bars and the percentage.
class ProgressPanel final : public QFrame {
  Q_OBJECT
 public:
  explicit ProgressPanel(QWidget* parent);
  void Show(const ProgressValues& values);
  int SentBarWidth() const { return sent_; }
  int WrittenBarWidth() const { return written_; }
  const QString& Label() const { return label_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int sent_ = 0;
  int written_ = 0;
  QString label_ = QStringLiteral("0%");
};

class TFormProgress final : public QDialog {
  Q_OBJECT
 public:
  // mainWindow: the window it is centred over and blocks. monitorVisible:
  // the main window's monitor button shows; glyph: that button's glyph.
  // clock: milliseconds on a steady clock, for the times of the run (which
  // begins here).
  TFormProgress(QWidget* mainWindow, bool monitorVisible, const QIcon& glyph,
                RunTiming::Clock clock = SteadyMilliseconds);

  // The steady clock of the process, in milliseconds.
  static int64_t SteadyMilliseconds();

  // The width of a full bar, in pixels.
  int FullWidth() const;
  // Draws the values of the run.
  void ShowProgress(const ProgressValues& values);
  // The times last shown.
  const RunTimes& Times() const { return times_; }
  // The texts of the rows below the bars: bytes written, rate, elapsed,
  // time left; a row not shown (yet) is empty.
  QStringList TimeTexts() const;

  // Asked once, by Stop, Esc or the window frame: the run should end.
  std::function<void()> OnStop;
  // The monitor button was clicked.
  std::function<void()> OnMonitor;

  // Closes the window without asking for a stop (the run has ended).
  void Release();

  QPushButton* StopButton() const { return stop_; }
  QToolButton* MonitorButton() const { return monitor_; }
  ProgressPanel* Panel() const { return panel_; }

  void reject() override;

 signals:
  // The times were shown again (a change of the values, or a second gone).
  void timesShown();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QWidget* mainWindow_;
  ProgressPanel* panel_;
  QPushButton* stop_;
  QToolButton* monitor_;
  QWidget* timesBox_;
  QLabel* writtenValue_;
  QLabel* rateCaption_;
  QLabel* rateValue_;
  QLabel* elapsedValue_;
  QLabel* leftCaption_;
  QLabel* leftValue_;
  QTimer* clockTick_;
  RunTiming timing_;
  RunTimes times_;
  bool stopAsked_ = false;
  bool released_ = false;

  void AskStop();
  void LayOut();
  void BuildTimes();
  void ShowTimes();
};

}  // namespace quorvel
