// The window's programming runs: one RunSession at a time, lent the
// window's USB link component, with its progress window (whose Stop button
// stops the run) over the main window and its log lines in the window's log
// view. The desktop follows the run on the program's task-bar entry and,
// when neither window is active as the run ends, hears its final message as
// a notification. Closing the main window ends a run at once, without its
// final message.
#pragma once

#include <QDateTime>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "run/device_types.h"
#include "run/line_settings.h"
#include "run/run_engine.h"

class QPlainTextEdit;
class QWidget;

namespace quorvel {

class DesktopSignals;
class Prompt;
class RunSession;
class TFormProgress;
class TFtdiUSB;

class RunControl final : public QObject {
  Q_OBJECT
 public:
  // mainWindow: the window the progress window stays over. devices: the
  // device list the selections index. usb: the window's USB link component,
  // whose device list a USB row's port list shows. log: the view the run
  // log goes to. prompt: where a run's messages go. All must outlive this.
  RunControl(QWidget* mainWindow, const TDevAvailArray& devices, TFtdiUSB* usb, QPlainTextEdit* log,
             Prompt& prompt);
  ~RunControl() override;

  // The progress window's monitor button was clicked.
  std::function<void()> OnMonitor;
  // Every block a run sends and every chunk it receives, in wire order.
  std::function<void(TrafficDirection, std::span<const uint8_t>)> OnTraffic;

  // Starts a run on the selection (its start time is set here) with the
  // link's frame gap; the progress window shows the monitor button when
  // monitorShown, with the glyph of the main window's. Nothing while a run
  // is going on or ending.
  void Start(RunSelection selection, FrameGapChoice frameGap, bool monitorShown,
             const QIcon& monitorGlyph);
  // Ends the run for the closing main window: the run's link component goes
  // with its session (the port closed, its threads ended) without a final
  // message, and the progress window with it. Never waits for the run.
  void EndForClose();

  // No run is going on or ending: the window's commands answer.
  bool Idle() const { return session_ == nullptr; }
  // A run is going on.
  bool Running() const;
  // How the last run ended (none before the first).
  const std::optional<RunOutcome>& LastOutcome() const { return lastOutcome_; }
  // The progress window of the run, none between runs.
  TFormProgress* Progress() const;
  // When the log began: at the start of the last run (before the first, when
  // this was made).
  const QDateTime& LogStarted() const { return logStarted_; }
  // The task-bar progress and the notifications of the runs.
  DesktopSignals& Desktop() const { return *desktop_; }

 signals:
  // A run started or ended, or the log got a line while it was empty: the
  // window's commands follow.
  void stateChanged();
  // A run ended: the final message has been answered.
  void runFinished();

 private:
  QWidget* mainWindow_;
  const TDevAvailArray& devices_;
  TFtdiUSB* usb_;
  QPlainTextEdit* log_;
  Prompt& prompt_;
  QDateTime logStarted_;
  std::unique_ptr<RunSession> session_;
  QPointer<TFormProgress> progress_;
  std::optional<RunOutcome> lastOutcome_;
  bool sessionEnding_ = false;
  std::unique_ptr<DesktopSignals> desktop_;
  // The runs' messages go through it to prompt_; the first one after the
  // run's end goes to the desktop too when notifyOutcome_ is set.
  class OutcomePrompt;
  std::unique_ptr<OutcomePrompt> runPrompt_;
  bool notifyOutcome_ = false;

  // A new session for the run, its log, prompt and progress wired to the
  // window.
  void MakeSession(FrameGapChoice frameGap, TFormProgress* progress);
  void AddLogLine(const std::string& line);
  void Finished(const RunOutcome& outcome);
};

}  // namespace quorvel
