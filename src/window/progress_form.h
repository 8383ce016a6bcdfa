// The progress window of a programming run: the bar of bytes sent, the bar
// of bytes acknowledged over it, the percentage, the Stop button and the
// shortcut to the port-buffer monitor. It stays over the main window, which
// turns its commands off meanwhile; it has no modal loop of its own: the
// main thread keeps running the run, and the main window can be closed.
#pragma once

#include <QDialog>
#include <QFrame>
#include <QIcon>
#include <functional>

#include "app/globals.h"
#include "run/progress_values.h"

class QPushButton;
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
  TFormProgress(QWidget* mainWindow, bool monitorVisible, const QIcon& glyph);

  // The width of a full bar, in pixels.
  int FullWidth() const;
  // Draws the values of the run.
  void ShowProgress(const ProgressValues& values);

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

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QWidget* mainWindow_;
  ProgressPanel* panel_;
  QPushButton* stop_;
  QToolButton* monitor_;
  bool stopAsked_ = false;
  bool released_ = false;

  void AskStop();
  void LayOut();
};

}  // namespace quorvel
