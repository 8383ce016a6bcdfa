// RunSession: everything one programming run on one instrument needs, for
// any host (the command-line tool, the window, the tests). It owns its copy
// of the device list, the engine, the link component the run's device row
// needs (made for the first run of that kind) with its run link, the 100 ms
// timer, the progress values, the run log and the continuations the engine
// posts; the host gives it a line sink and a prompt. A session keeps nothing
// process-wide, so that several of them run side by side on one thread and
// event loop: the link threads do the I/O.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/prompt.h"
#include "run/device_types.h"
#include "run/progress_values.h"
#include "run/run_engine.h"
#include "run/run_facts.h"
#include "run/run_log.h"
#include "run/traffic_decoder.h"

namespace quorvel {

class TComm32Kx;
class Comm32KxRunLink;
class TFtdiUSB;
class FtdiUsbRunLink;

class RunSession : public QObject {
  Q_OBJECT
 public:
  // devices: the list the session's runs work on; the session keeps its own
  // copy, which its runs only read.
  // sharedUsb: the host's USB link component, whose device list the host's
  // selection indexes (the window's); a USB run borrows its handlers for the
  // session's lifetime and the session closes the device at its end. None:
  // the session makes its own component for its first USB run (or Usb()).
  explicit RunSession(TDevAvailArray devices, QObject* parent = nullptr,
                      TFtdiUSB* sharedUsb = nullptr);
  ~RunSession() override;
  RunSession(const RunSession&) = delete;
  RunSession& operator=(const RunSession&) = delete;

  // Each line of the run log as it is added. Set before Start.
  void SetLineSink(std::function<void(const std::string& line)> sink);
  // The run's prompt: the final message goes there (not owned; it must
  // outlive the session). None: nothing is shown. Set before Start.
  void SetPrompt(Prompt* prompt);
  // Whether the final message of a run that its port refused ends with what
  // the user can do about it (AccessAdvice). Off: the host says it apart.
  void SetAccessAdviceInMessage(bool on) { adviceInMessage_ = on; }
  // The width of a full progress bar in the host's units (the window's
  // pixels, the terminal's characters), and a sink called after every change
  // of the progress values.
  void SetProgressWidth(int32_t width);
  void SetProgressSink(std::function<void(const ProgressValues& values)> sink);
  // Every block the run sends and every chunk it receives, in wire order
  // (the port-buffer monitor, a trace). May be set at any time.
  using TrafficSink = std::function<void(TrafficDirection, std::span<const uint8_t>)>;
  void SetTrafficSink(TrafficSink sink);
  // The link's frame gap for the runs that follow (default: automatic). A
  // run that finds the device missing commands with an automatic gap
  // switches to the standard one until it ends.
  void SetFrameGap(FrameGapChoice gap);
  // How wide a log line is in the host's log view and how wide the view is
  // (RunLog::SetMeasure): the block lines are lined up in its font.
  void SetLogMeasure(TextWidthFn lineWidth, int viewWidth) {
    log_.SetMeasure(std::move(lineWidth), viewWidth);
  }

  // Starts a run on the selected row and port (for a USB row, PortIndex is
  // the index in Usb().DeviceList()) with the data file as the host read it
  // (ReadFileForRuns: one file for several sessions). True while the run goes
  // on: `finished` follows. False when it ended at once (the data file, the
  // device type or the port refused it; Outcome() tells why), a run is in
  // progress or the row has no link; no `finished` then.
  bool Start(const RunSelection& selection, std::shared_ptr<const DataFileContents> file);
  // The same with the file of selection.FileName, read now; a refused
  // file's message goes to the session's prompt.
  bool Start(const RunSelection& selection);

  // The progress window's Stop button: the run ends as a stopped run.
  // Nothing when no run goes on.
  void Stop();

  bool Running() const { return running_; }
  const RunOutcome& Outcome() const { return outcome_; }
  // What the user can do to get access when the last run ended as "Access
  // denied": for its serial port, or for the terminal of a converter it had
  // no permission to open (PortAccessAdvice). None after any other end, and
  // for a converter that another program held.
  std::optional<std::string> AccessAdvice() const;
  const RunFacts& Facts() const { return facts_; }
  const RunLog& Log() const { return log_; }
  const ProgressValues& Progress() const { return progress_.Values(); }
  // The session's own device list as its runs left it.
  const TDevAvailArray& Devices() const { return devices_; }
  // The USB link component the session's USB runs use: the host's, or the
  // session's own, made now if no run has needed it yet. Its device list
  // builds in the background after it is made (OnDevListAfterCreate tells
  // when it is there).
  TFtdiUSB& Usb();
  // Whether the session has a USB link component of its own (a serial run
  // needs none).
  bool HasOwnUsb() const { return ownUsb_ != nullptr; }

 signals:
  // The progress window would close now: the progress holds its last values
  // (the whole image of a written run); the run's last log line and its
  // final message follow.
  void progressEnded();
  // The run is over; Outcome() and Facts() hold its end.
  void finished(const quorvel::RunOutcome& outcome);

 private:
  class ForwardingPrompt;
  class SteadyTicks;

  void Post(std::function<void()> continuation);
  void LineAdded(const std::string& line);
  void EndProgress();
  void NoteLatencyTimer();
  std::optional<std::string> AccessAdviceFor(const RunOutcome& outcome) const;
  // What follows the text of a message: the access advice when the text is
  // the final message of a refused run and the host wants it there.
  std::string MessageAddition(const std::string& text) const;
  // The run link of a link kind, its component made on first use; none for
  // a row without a link.
  RunLink* LinkOf(TLinkKind linkKind);
  RunLink& SerialLink();
  RunLink& UsbLink();
  // The session's engine when it works on this link, otherwise none: only
  // the run's own link speaks to the engine.
  RunEngine* EngineOn(const RunLink& link) const;
  // Puts the engine on the link (a new engine when the link is another
  // one's) and lets only that link's component speak to it.
  void UseLink(RunLink& link);

  TDevAvailArray devices_;
  RunLog log_;
  RunProgress progress_;
  RunFacts facts_;
  RunOutcome outcome_;
  std::function<void(const std::string&)> lineSink_;
  std::function<void(const ProgressValues&)> progressSink_;
  TrafficSink trafficSink_;
  std::unique_ptr<ForwardingPrompt> prompt_;
  std::unique_ptr<SteadyTicks> ticks_;
  std::unique_ptr<TComm32Kx> comm_;
  std::unique_ptr<Comm32KxRunLink> serialLink_;
  std::unique_ptr<TFtdiUSB> ownUsb_;
  TFtdiUSB* sharedUsb_ = nullptr;   // the host's component, as given
  QPointer<TFtdiUSB> borrowedUsb_;  // the same once a run has borrowed it
  TFtdiUSB* usb_ = nullptr;
  std::unique_ptr<FtdiUsbRunLink> usbLink_;
  std::function<void(TFtdiUSB*, const uint8_t*, uint32_t)> savedUsbReceive_;
  std::function<void(TFtdiUSB*, TLinkStatus, const std::string&)> savedUsbStatus_;
  bool latencyNoted_ = false;
  bool adviceInMessage_ = false;
  // The port of the last run as it was chosen: the serial port's name, or
  // the location of the converter chosen from the USB device list.
  TLinkKind runLinkKind_ = TLinkKind::None;
  std::string runPortName_;
  std::optional<uint32_t> runUsbLocation_;
  // The engine on the link of the session's last run.
  std::unique_ptr<RunEngine> engine_;
  // The engine's posted continuations and the session's own: destroyed
  // before the engine they were posted for, so none reaches an engine that
  // is gone.
  std::unique_ptr<QObject> continuations_;
  QTimer timer_;
  bool running_ = false;
  int32_t progressWidth_ = 0;
  FrameGapChoice frameGap_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace quorvel
