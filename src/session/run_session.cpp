#include "session/run_session.h"

#include "app/globals.h"
#include "app/text_utils.h"
#include "run/log_texts.h"
#include "serial/comm32kx.h"
#include "serial/serial_port_io.h"
#include "session/access_advice.h"
#include "session/serial_run_link.h"
#include "session/usb_run_link.h"
#include "usb/device_list.h"
#include "usb/ftdi_usb.h"
#include "usb/udev_ftdi.h"

namespace quorvel {
namespace {

constexpr int kEngineTimerMs = 100;
// The link's fixed response time-out until the engine sets its own.
constexpr uint32_t kFrameTimeOutMs = 8000;

// Said once per run when a converter keeps the driver's default latency
// timer: every reply may then wait that long inside the converter.
constexpr TextPair kLatencyTimerNote{
    "-- zegar opóźnienia konwertera %s ms (nie udało się ustawić 1 ms; brak uprawnień do "
    "latency_timer), odpowiedzi mogą się spóźniać",
    "-- latency timer %s ms (could not set 1 ms: no permission on latency_timer); replies may "
    "come late"};

bool StartsWith(const std::string& line, int logIndex) {
  const std::string& text = LogText(logIndex);
  return !text.empty() && line.compare(0, text.size(), text) == 0;
}

}  // namespace

// The engine's prompt, handing every message to whatever the host set last,
// each with what the session adds to it.
class RunSession::ForwardingPrompt final : public Prompt {
 public:
  explicit ForwardingPrompt(const RunSession& session) : session_(session) {}

  Prompt* target = nullptr;

  bool MsgBox(const std::string& text, const std::string& caption, uint32_t flags) override {
    return target == nullptr || target->MsgBox(text + session_.MessageAddition(text), caption, flags);
  }
  bool AskYesNo(const std::string& text, const std::string& caption, uint32_t flags,
                bool focusNo) override {
    return target != nullptr && target->AskYesNo(text, caption, flags, focusNo);
  }
  int TextWidth(std::string_view text) const override {
    return target != nullptr ? target->TextWidth(text) : Prompt::TextWidth(text);
  }
  int PathWidthLimit() const override {
    return target != nullptr ? target->PathWidthLimit() : Prompt::PathWidthLimit();
  }

 private:
  const RunSession& session_;
};

class RunSession::SteadyTicks final : public TickSource {
 public:
  uint32_t NowMs() override {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
  }
};

RunSession::RunSession(TDevAvailArray devices, QObject* parent, TFtdiUSB* sharedUsb)
    : QObject(parent),
      devices_(std::move(devices)),
      prompt_(std::make_unique<ForwardingPrompt>(*this)),
      ticks_(std::make_unique<SteadyTicks>()),
      sharedUsb_(sharedUsb),
      continuations_(std::make_unique<QObject>()) {
  log_.OnLineAdded = [this](const std::string& line) { LineAdded(line); };
  timer_.setInterval(kEngineTimerMs);
  connect(&timer_, &QTimer::timeout, this, [this] {
    if (engine_) engine_->TimerTimer();
  });
}

RunSession::~RunSession() {
  timer_.stop();
  continuations_.reset();
  // The port closes with the component; nothing of it reaches the engine
  // any more.
  if (comm_) {
    comm_->OnReceive = nullptr;
    comm_->OnCOMStatus = nullptr;
    comm_->OnDuplicatePort = nullptr;
  }
  // A host's component gets its own handlers back; a run's own converter
  // closes with its component.
  if (ownUsb_) {
    ownUsb_->OnReceive = nullptr;
    ownUsb_->SetOnUSBStatus(nullptr);
  } else if (borrowedUsb_) {  // the host may have gone first
    borrowedUsb_->SetDeviceIndex(0);
    borrowedUsb_->OnReceive = std::move(savedUsbReceive_);
    borrowedUsb_->SetOnUSBStatus(nullptr);
    borrowedUsb_->SetOnUSBStatus(std::move(savedUsbStatus_));
  }
  log_.OnLineAdded = nullptr;
}

RunEngine* RunSession::EngineOn(const RunLink& link) const {
  return engine_ != nullptr && &engine_->Link() == &link ? engine_.get() : nullptr;
}

RunLink& RunSession::SerialLink() {
  if (serialLink_) return *serialLink_;
  comm_ = std::make_unique<TComm32Kx>(nullptr, Language);
  comm_->SetStatusONifReceive(false);
  comm_->SetQueueLimit(true);
  comm_->SetFrameTimeOut(kFrameTimeOutMs);
  serialLink_ = std::make_unique<Comm32KxRunLink>(*comm_);
  comm_->OnReceive = [this](TComm32Kx*, const uint8_t* bytes, uint32_t count) {
    if (RunEngine* engine = EngineOn(*serialLink_)) engine->OnLinkReceive(bytes, count);
  };
  comm_->OnCOMStatus = [this](TComm32Kx*, TLinkStatus code, const std::string& text) {
    if (RunEngine* engine = EngineOn(*serialLink_)) engine->OnLinkStatus(code, text);
  };
  comm_->OnDuplicatePort = [this](TComm32Kx*, const std::string& text) {
    prompt_->MsgBox(text, std::string(), kIconWarning);
  };
  return *serialLink_;
}

TFtdiUSB& RunSession::Usb() {
  if (usb_ != nullptr) return *usb_;
  if (sharedUsb_ == nullptr) ownUsb_ = std::make_unique<TFtdiUSB>(nullptr, Language);
  usb_ = sharedUsb_ != nullptr ? sharedUsb_ : ownUsb_.get();
  borrowedUsb_ = sharedUsb_;
  usb_->SetQueueLimit(true);
  usb_->SetFrameTimeOut(kFrameTimeOutMs);
  usbLink_ = std::make_unique<FtdiUsbRunLink>(*usb_);
  savedUsbReceive_ = usb_->OnReceive;
  savedUsbStatus_ = usb_->OnUSBStatus();
  usb_->OnReceive = [this](TFtdiUSB*, const uint8_t* bytes, uint32_t count) {
    if (RunEngine* engine = EngineOn(*usbLink_)) engine->OnLinkReceive(bytes, count);
  };
  usb_->SetOnUSBStatus([this](TFtdiUSB*, TLinkStatus code, const std::string& text) {
    RunEngine* engine = EngineOn(*usbLink_);
    if (engine == nullptr) return;
    if (code == TLinkStatus::Connected && running_) NoteLatencyTimer();
    engine->OnLinkStatus(code, text);
  });
  return *usb_;
}

RunLink& RunSession::UsbLink() {
  Usb();
  return *usbLink_;
}

RunLink* RunSession::LinkOf(TLinkKind linkKind) {
  switch (linkKind) {
    case TLinkKind::Serial:
      return &SerialLink();
    case TLinkKind::Usb:
      return &UsbLink();
    case TLinkKind::None:
      break;
  }
  return nullptr;
}

void RunSession::UseLink(RunLink& link) {
  if (EngineOn(link) != nullptr) return;
  // Continuations posted for the engine that goes now are dropped with it.
  continuations_ = std::make_unique<QObject>();
  engine_.reset();
  RunSurroundings surroundings(link);
  surroundings.ticks = ticks_.get();
  surroundings.prompt = prompt_.get();
  surroundings.post = [this](std::function<void()> continuation) { Post(std::move(continuation)); };
  // The run is closed after the event that ended it, as the window closes
  // its progress window after its modal loop.
  surroundings.ended = [this](RunEnd) { Post([this] { EndProgress(); }); };
  surroundings.traffic = [this](TrafficDirection direction, std::span<const uint8_t> bytes) {
    if (trafficSink_) trafficSink_(direction, bytes);
  };
  engine_ = std::make_unique<RunEngine>(devices_, log_, std::move(surroundings));
}

void RunSession::NoteLatencyTimer() {
  const int latency = usb_->LatencyTimerMs();
  if (latencyNoted_ || latency <= 1) return;
  latencyNoted_ = true;
  if (lineSink_) lineSink_(FormatText(kLatencyTimerNote.str(), {std::to_string(latency)}));
}

std::optional<std::string> RunSession::AccessAdvice() const {
  return AccessAdviceFor(outcome_);
}

std::optional<std::string> RunSession::AccessAdviceFor(const RunOutcome& outcome) const {
  if (outcome.Cause != RunCause::LinkError || outcome.LinkStatus != TLinkStatus::AccessDenied) {
    return std::nullopt;
  }
  if (runLinkKind_ == TLinkKind::Serial) return PortAccessAdvice(PortDevicePath(runPortName_));
  // A converter's terminal is a port like any other where permissions are
  // concerned; one that another program holds needs no permission.
  if (runLinkKind_ != TLinkKind::Usb || usb_ == nullptr || !runUsbLocation_ ||
      usb_->LastOpenFailure() != TFtdiUSB::OpenFailure::NoPermission) {
    return std::nullopt;
  }
  for (const FtdiTtyDevice& device : EnumerateFtdiTtys()) {
    if (device.LocId == *runUsbLocation_) return PortAccessAdvice(device.DevNode);
  }
  return std::nullopt;
}

// The engine shows a run's final message once it holds the run's outcome,
// whose message that text is.
std::string RunSession::MessageAddition(const std::string& text) const {
  if (!adviceInMessage_ || engine_ == nullptr || text != engine_->LastOutcome().Message) return {};
  const std::optional<std::string> advice = AccessAdviceFor(engine_->LastOutcome());
  return advice ? "\r\n\r\n" + *advice : std::string();
}

void RunSession::SetLineSink(std::function<void(const std::string&)> sink) {
  lineSink_ = std::move(sink);
}

void RunSession::SetPrompt(Prompt* prompt) {
  prompt_->target = prompt;
}

void RunSession::SetProgressWidth(int32_t width) {
  progressWidth_ = width;
  progress_.Values().SetFullWidth(width);
}

void RunSession::SetProgressSink(std::function<void(const ProgressValues&)> sink) {
  progressSink_ = std::move(sink);
}

void RunSession::SetTrafficSink(TrafficSink sink) {
  trafficSink_ = std::move(sink);
}

void RunSession::SetFrameGap(FrameGapChoice gap) {
  frameGap_ = gap;
}

void RunSession::Post(std::function<void()> continuation) {
  if (continuations_) {
    QMetaObject::invokeMethod(continuations_.get(), std::move(continuation), Qt::QueuedConnection);
  }
}

// The engine's record is cleared when the run ends; what a report needs of
// it is kept line by line (the result line is the last one written while the
// record still holds the run).
void RunSession::LineAdded(const std::string& line) {
  const RunRecord& record = engine_->Record();
  if (StartsWith(line, kLogDeviceInfo)) facts_.InfoReported = true;
  if (facts_.InfoReported) {
    facts_.SerialPart1 = record.SerialPart1;
    facts_.SerialPart2 = record.SerialPart2;
    facts_.DeviceCode = record.DeviceCode;
    facts_.BootVersion = record.BootVersion;
    facts_.DeviceCheckSkipped = record.DeviceCheckSkipped;
  }
  if (record.AppVersion) facts_.AppVersion = record.AppVersion;
  if (!record.BootRequestData.empty()) facts_.StartBytes = record.BootRequestData;
  facts_.BytesWritten = record.BytesDone;
  if (record.Total != 0) facts_.BytesTotal = record.Total;
  // Writing starts over after every erase.
  if (StartsWith(line, kLogErasing)) facts_.BlocksSkipped = 0;
  if (StartsWith(line, kLogEmptyBlock)) ++facts_.BlocksSkipped;
  if (lineSink_) lineSink_(line);
}

bool RunSession::Start(const RunSelection& selection) {
  if (running_) return false;
  return Start(selection, ReadFileForRuns(selection.FileName, prompt_.get()));
}

bool RunSession::Start(const RunSelection& selection,
                       std::shared_ptr<const DataFileContents> file) {
  if (running_) return false;
  const bool rowListed =
      selection.DeviceIndex >= 0 && selection.DeviceIndex < static_cast<int>(devices_.size());
  RunLink* link =
      rowListed ? LinkOf(devices_[static_cast<size_t>(selection.DeviceIndex)].LinkKind) : nullptr;
  if (link == nullptr) return false;
  UseLink(*link);
  runLinkKind_ = devices_[static_cast<size_t>(selection.DeviceIndex)].LinkKind;
  runPortName_ = selection.PortName;
  runUsbLocation_.reset();
  if (runLinkKind_ == TLinkKind::Usb) {
    const usb::DeviceList& list = usb_->DeviceList();
    if (selection.PortIndex >= 0 && static_cast<size_t>(selection.PortIndex) < list.size()) {
      runUsbLocation_ = usb::EntryLocation(list[static_cast<size_t>(selection.PortIndex)].text);
    }
  }
  facts_ = RunFacts{};
  started_ = std::chrono::steady_clock::now();
  latencyNoted_ = false;

  progress_ = RunProgress{};
  progress_.Values().SetFullWidth(progressWidth_);
  progress_.OnChange = [this] {
    if (progressSink_) progressSink_(progress_.Values());
  };
  link->SetFrameGap(frameGap_);
  timer_.start();
  if (!engine_->StartRun(selection, std::move(file))) {
    timer_.stop();
    outcome_ = engine_->LastOutcome();
    facts_.Duration = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started_);
    return false;
  }
  running_ = true;
  engine_->AttachProgress(&progress_);
  return true;
}

void RunSession::Stop() {
  if (running_) engine_->Stop();
}

void RunSession::EndProgress() {
  if (!running_) return;
  emit progressEnded();
  engine_->Finish();
  running_ = false;
  timer_.stop();
  outcome_ = engine_->LastOutcome();
  facts_.Duration = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started_);
  emit finished(outcome_);
}

}  // namespace quorvel
