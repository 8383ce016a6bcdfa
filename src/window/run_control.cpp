#include "window/run_control.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <ctime>

#include "app/prompt.h"
#include "dialogs/dialog_support.h"
#include "session/run_session.h"
#include "window/desktop_signals.h"
#include "window/progress_form.h"

namespace quorvel {

class RunControl::OutcomePrompt final : public Prompt {
 public:
  explicit OutcomePrompt(RunControl& control) : control_(control) {}
  bool MsgBox(const std::string& text, const std::string& caption, uint32_t flags) override {
    Notice(text, caption, flags);
    return control_.prompt_.MsgBox(text, caption, flags);
  }
  bool AskYesNo(const std::string& text, const std::string& caption, uint32_t flags,
                bool focusNo) override {
    Notice(text, caption, flags);
    return control_.prompt_.AskYesNo(text, caption, flags, focusNo);
  }
  int TextWidth(std::string_view text) const override { return control_.prompt_.TextWidth(text); }
  int PathWidthLimit() const override { return control_.prompt_.PathWidthLimit(); }

 private:
  RunControl& control_;

  // The final message, while the user is elsewhere: the desktop says it
  // before the window shows it.
  void Notice(const std::string& text, const std::string& caption, uint32_t flags) {
    if (!control_.notifyOutcome_) return;
    control_.notifyOutcome_ = false;
    QString body = ToQString(text);
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    control_.desktop_->Notify(ToQString(caption), body, (flags & 0xF0) != kIconInformation);
  }
};

RunControl::RunControl(QWidget* mainWindow, const TDevAvailArray& devices, TFtdiUSB* usb,
                       QPlainTextEdit* log, Prompt& prompt)
    : QObject(nullptr),
      mainWindow_(mainWindow),
      devices_(devices),
      usb_(usb),
      log_(log),
      prompt_(prompt),
      logStarted_(QDateTime::currentDateTime()),
      desktop_(std::make_unique<DesktopSignals>()),
      runPrompt_(std::make_unique<OutcomePrompt>(*this)) {}

RunControl::~RunControl() = default;

TFormProgress* RunControl::Progress() const {
  return progress_;
}

bool RunControl::Running() const {
  return session_ != nullptr && session_->Running();
}

void RunControl::Start(RunSelection selection, FrameGapChoice frameGap, bool monitorShown,
                       const QIcon& monitorGlyph) {
  if (session_ != nullptr) return;
  log_->clear();
  log_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  log_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  logStarted_ = QDateTime::currentDateTime();
  const std::time_t now = std::time(nullptr);
  localtime_r(&now, &selection.StartTime);

  auto* progress = new TFormProgress(mainWindow_, monitorShown, monitorGlyph);
  progress_ = progress;
  MakeSession(frameGap, progress);
  RunSession* session = session_.get();
  emit stateChanged();
  if (!session->Start(selection)) {
    // Refused before the first command: the message has been shown.
    lastOutcome_ = session->Outcome();
    session_.reset();
    delete progress_.data();
    emit stateChanged();
    emit runFinished();
    return;
  }
  progress->show();
  emit stateChanged();
}

void RunControl::MakeSession(FrameGapChoice frameGap, TFormProgress* progress) {
  // A USB row's port list is the window's USB component's device list: the
  // run opens the chosen device through that component.
  session_ = std::make_unique<RunSession>(devices_, nullptr, usb_);
  RunSession* session = session_.get();
  session->SetFrameGap(frameGap);
  const QFontMetrics metrics = log_->fontMetrics();
  session->SetLogMeasure(
      [metrics](std::string_view text) { return metrics.horizontalAdvance(ToQString(text)); },
      log_->viewport()->width());
  session->SetLineSink([this](const std::string& line) { AddLogLine(line); });
  session->SetPrompt(runPrompt_.get());
  // A port that refused access: the final message says how to get it, as
  // quorvel-cli does below its run.
  session->SetAccessAdviceInMessage(true);
  session->SetTrafficSink([this](TrafficDirection direction, std::span<const uint8_t> bytes) {
    if (OnTraffic) OnTraffic(direction, bytes);
  });
  session->SetProgressWidth(progress->FullWidth());
  session->SetProgressSink([this, progress](const ProgressValues& values) {
    progress->ShowProgress(values);
    if (values.Max() != 0)
      desktop_->ShowProgress(static_cast<double>(values.Written()) / values.Max());
  });
  progress->OnStop = [session] { session->Stop(); };
  progress->OnMonitor = [this] {
    if (OnMonitor) OnMonitor();
  };
  connect(session, &RunSession::progressEnded, this, [this] {
    sessionEnding_ = true;
    const bool active =
        mainWindow_->isActiveWindow() || (progress_ != nullptr && progress_->isActiveWindow());
    notifyOutcome_ = !active;
    desktop_->EndProgress();
    if (progress_ != nullptr) {
      progress_->Release();
      progress_->deleteLater();
    }
  });
  connect(session, &RunSession::finished, this,
          [this](const RunOutcome& outcome) { Finished(outcome); });
}

void RunControl::AddLogLine(const std::string& line) {
  log_->appendPlainText(ToQString(line));
  if (session_ != nullptr && session_->Log().ScrollBars()) {
    log_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    log_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  }
  // The view follows the newest line.
  log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
  log_->horizontalScrollBar()->setValue(0);
  if (!log_->isEnabled()) emit stateChanged();
}

void RunControl::Finished(const RunOutcome& outcome) {
  lastOutcome_ = outcome;
  sessionEnding_ = false;
  notifyOutcome_ = false;
  // The session is still on the stack: it goes once its signal is done.
  if (session_ != nullptr) session_.release()->deleteLater();
  emit stateChanged();
  emit runFinished();
}

void RunControl::EndForClose() {
  desktop_->EndProgress();
  notifyOutcome_ = false;
  if (progress_ != nullptr) {
    progress_->Release();
    delete progress_.data();
  }
  if (session_ == nullptr || sessionEnding_) return;
  session_->SetPrompt(nullptr);
  session_->SetLineSink({});
  session_->SetProgressSink({});
  session_.reset();
}

}  // namespace quorvel
