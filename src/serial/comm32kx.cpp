#include "serial/comm32kx.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <algorithm>
#include <limits>
#include <utility>

#include "app/globals.h"
#include "app/text_utils.h"
#include "dialogs/prompt.h"
#include "serial/port_list.h"
#include "serial/port_list_service.h"
#include "serial/read_thread.h"
#include "serial/write_thread.h"

namespace quorvel {

struct TComm32Kx::Session {
  int fd = -1;
  PortDriverChanges changes;
  StopEvent stop;
  LineSettings line;
  std::unique_ptr<TReadThread> reader;
  std::unique_ptr<TWriteThread> writer;
};

namespace {

constexpr int kTimerIntervalMs = 100;
constexpr int kHandOverDelayMs = 100;

constexpr TextPair kDuplicateWarning{
    "UWAGA\r\nW systemie istnieją dwa porty %s.\r\nProgram może działać nieprawidłowo.",
    "WARNING\r\nThere are two %s serial ports in the system.\r\nProgram may work incorrectly."};

}  // namespace

TComm32Kx::TComm32Kx(QObject* owner, uint8_t language) : QObject(owner), language_(language) {
  comPort_ = NoneText();
  // The port threads post into the window and make its descriptor readable;
  // the messages are taken here, on the main thread, in order.
  if (window_.WakeFd() >= 0) {
    windowNotifier_ = new QSocketNotifier(window_.WakeFd(), QSocketNotifier::Read, this);
    connect(windowNotifier_, &QSocketNotifier::activated, this, [this] {
      window_.ResetWake();
      HandlePortMessages();
    });
  }
  UpdateAutoTimeOut();
  sendTimer_.setInterval(kTimerIntervalMs);
  respTimer_.setInterval(kTimerIntervalMs);
  connect(&sendTimer_, &QTimer::timeout, this, [this] { SendTimerTick(); });
  connect(&respTimer_, &QTimer::timeout, this, [this] { ResponseTimerTick(); });
  settleTimer_.setSingleShot(true);
  settleTimer_.setInterval(kSettleAfterOpenMs);
  settleTimer_.setTimerType(Qt::PreciseTimer);  // never shorter than asked
  connect(&settleTimer_, &QTimer::timeout, this, [this] { HandOnQueueHead(); });
  openRetry_.setInterval(kAccessRetryMs);
  connect(&openRetry_, &QTimer::timeout, this, [this] { RetryOpen(); });

  RebuildPortList();
  comPort_ = NoneText();
  lastOpened_ = NoneText();
  portIndex_ = 0;
  status_ = kStatusDisconnected;

  PortListService::Subscriber subscriber;
  subscriber.listChanged = [this] { RebuildPortList(); };
  subscriber.portFree = [this](const std::string& name) { PortFreeHeard(name); };
  subscription_ = PortListService::Instance().Subscribe(std::move(subscriber));
  constructing_ = false;
}

TComm32Kx::~TComm32Kx() {
  destroying_ = true;
  sendTimer_.stop();
  respTimer_.stop();
  settleTimer_.stop();
  openRetry_.stop();
  sendTimer_.disconnect();
  respTimer_.disconnect();
  settleTimer_.disconnect();
  openRetry_.disconnect();
  Close();
  delete windowNotifier_;
  windowNotifier_ = nullptr;
  if (!IsNoneName(lastOpened_)) AnnounceFree(lastOpened_);
  PortListService::Instance().Unsubscribe(subscription_);
}

std::string TComm32Kx::NoneText() const {
  return std::string(quorvel::NoneText(language_));
}

bool TComm32Kx::WatchesUdev() const {
  return PortListService::Instance().WatchesUdev();
}

// ---- status and events ----

void TComm32Kx::ReportStatus(int32_t code) {
  if (destroying_) return;
  // Stored before the handler runs: a handler that changes the link (and so
  // reports a newer status) must not be overwritten by this older one.
  status_ = static_cast<uint8_t>(code);
  const TStatus handler = OnCOMStatus;
  if (!handler) return;
  if (code >= kStatusCommunicationLost && soundOnError_ && ErrorSound) {
    const std::function<void()> sound = ErrorSound;
    sound();
  }
  try {
    handler(this, code, std::string(StatusText(code, language_)));
  } catch (...) {
    // A failing status handler must not take the link down with it.
  }
}

void TComm32Kx::FireNotify(const TNotifyEvent& event) {
  const TNotifyEvent handler = event;
  if (handler) handler(this);
}

void TComm32Kx::RefreshStatus() {
  ReportStatus(status_);
}

// ---- properties ----

void TComm32Kx::Reopen() {
  Close();
  Open();
}

template <typename T>
void TComm32Kx::SetLineSetting(uint8_t LineSettings::*field, T value) {
  const auto ordinal = static_cast<uint8_t>(value);
  if (IsOpen() && line_.*field == ordinal) return;
  line_.*field = ordinal;
  UpdateAutoTimeOut();
  Reopen();
}

void TComm32Kx::SetBaudRate(TBaudRate value) {
  SetLineSetting(&LineSettings::Baud, value);
}
void TComm32Kx::SetParity(TParityBit value) {
  SetLineSetting(&LineSettings::Parity, value);
}
void TComm32Kx::SetDataBits(TDataBits value) {
  SetLineSetting(&LineSettings::DataBits, value);
}
void TComm32Kx::SetStopBits(TStopBits value) {
  SetLineSetting(&LineSettings::StopBits, value);
}

void TComm32Kx::SetTimeOut(uint16_t ms) {
  autoTimeOut_ = false;
  timeOut_.store(ms == 0 ? 1 : ms);
}

void TComm32Kx::SetAutoTimeOut(bool on) {
  autoTimeOut_ = on;
  UpdateAutoTimeOut();
}

void TComm32Kx::UpdateAutoTimeOut() {
  if (autoTimeOut_) timeOut_.store(AutoQuietPeriodMs(line_));
}

void TComm32Kx::SetSizeBufTXD(uint16_t size) {
  sizeBufTXD_ = size;
  Reopen();
}

void TComm32Kx::SetSizeBufRXD(uint16_t size) {
  sizeBufRXD_ = size;
  Reopen();
}

void TComm32Kx::SetControlFlag(bool PortControlFlags::*flag, bool on) {
  if (control_.*flag == on) return;
  control_.*flag = on;
  Reopen();
}

void TComm32Kx::SetRTSState(bool on) {
  rtsState_ = on;
  if (!control_.FlowRTS_CTS && session_) (void)SetRTS(session_->fd, on);
}

void TComm32Kx::SetDTRState(bool on) {
  dtrState_ = on;
  if (!control_.FlowDTR_DSR && session_) (void)SetDTR(session_->fd, on);
}

// ---- selecting the port ----

void TComm32Kx::SetCOMPort(const std::string& name) {
  const std::string old = comPort_;
  const bool wasOpen = IsOpen();

  std::string resolved = (name == "0" || IsNoneName(name)) ? NoneText() : name;
  int found = -1;
  if (portList_.empty()) {
    resolved = NoneText();
    found = 0;
  } else {
    for (size_t i = 0; i < portList_.size(); ++i) {
      if (SameTextNoCase(portList_[i], resolved)) {
        found = static_cast<int>(i);
        resolved = portList_[i];
        break;
      }
    }
  }
  portIndex_ = found > 0 ? static_cast<uint16_t>(found) : 0;
  comPort_ = resolved;

  if (found == 0) {
    Open();  // no port: closes
  } else if (found < 0) {
    Close();
    ReportStatus(kStatusPortNotFound);
  } else if (comPort_ != old) {
    WarnDuplicatePort();
    Close();
    Open();
    FireNotify(OnPortChange);
  }

  // The old port is free for other instances, unless this component still
  // holds it (the same name assigned again, as after a list refresh).
  const bool stillHeld = IsOpen() && comPort_ == old;
  if (!IsNoneName(old) && wasOpen && !stillHeld) AnnounceFree(old);
}

void TComm32Kx::SetPortNumber(uint16_t number) {
  SetCOMPort(std::to_string(number));
}

void TComm32Kx::SetParams(std::optional<std::string> portName, std::optional<TBaudRate> baud,
                          std::optional<TParityBit> parity, std::optional<TDataBits> dataBits,
                          std::optional<TStopBits> stopBits) {
  bool differed = false;
  const auto store = [&differed](uint8_t& field, auto value) {
    if (value && field != static_cast<uint8_t>(*value)) {
      field = static_cast<uint8_t>(*value);
      differed = true;
    }
  };
  store(line_.Baud, baud);
  store(line_.Parity, parity);
  store(line_.DataBits, dataBits);
  store(line_.StopBits, stopBits);
  if (differed) UpdateAutoTimeOut();

  if (portName) {
    const std::string before = comPort_;
    SetCOMPort(*portName);
    if (comPort_ != before) return;  // the selection reopened with the new settings
  }
  if (differed) {
    // A parameter change is not a disconnection the owner should see.
    TStatus detached = std::move(OnCOMStatus);
    OnCOMStatus = nullptr;
    Close();
    if (!OnCOMStatus) OnCOMStatus = std::move(detached);
    Open();
  } else if (!portName && !IsNoneName(comPort_)) {
    FireNotify(OnPortChange);
  }
}

// ---- opening and closing ----

bool TComm32Kx::Open() {
  if (portIndex_ == 0) {
    Close();
    return false;
  }
  if (session_) return false;
  lastOpened_ = comPort_;
  const int32_t code = OpenSession();
  if (code == kStatusAccessDenied) {
    // Reported at once all the same: whoever waits for the port (a run)
    // decides for itself what to do about it.
    const auto listedFor = PortListService::Instance().ListedFor(comPort_);
    if (listedFor && *listedFor < std::chrono::milliseconds(kFreshPortGraceMs)) {
      openRetryUntil_ = Clock::now() + std::chrono::milliseconds(kFreshPortGraceMs) - *listedFor;
      openRetry_.start();
    }
  }
  return FinishOpen(code);
}

bool TComm32Kx::FinishOpen(int32_t code) {
  if (code == kStatusPortNotFound) {
    comPort_ = NoneText();
    portIndex_ = 0;
  }
  ReportStatus(code);
  return code == kStatusConnected;
}

void TComm32Kx::RetryOpen() {
  // Still refused and still wanted: anything the owner did meanwhile
  // (another port, a close, an open of its own) changed the status.
  if (session_ || status_ != kStatusAccessDenied || portIndex_ == 0 ||
      Clock::now() >= openRetryUntil_) {
    openRetry_.stop();
    return;
  }
  const int32_t code = OpenSession();
  if (code == kStatusAccessDenied) return;
  openRetry_.stop();
  FinishOpen(code);
}

int32_t TComm32Kx::OpenSession() {
  const PortOpenResult opened = OpenPortDevice(PortDevicePath(comPort_));
  if (opened.fd < 0) {
    switch (opened.error) {
      case PortOpenError::Busy:
        return kStatusBusy;
      case PortOpenError::NotFound:
        return kStatusPortNotFound;
      case PortOpenError::AccessDenied:
        return kStatusAccessDenied;
      default:
        return kStatusPortError;
    }
  }
  const int fd = opened.fd;
  PortDriverChanges changes;
  if (!ConfigurePort(fd, line_, control_, &changes)) {
    ClosePortDevice(fd, changes);
    return kStatusPortError;
  }
  if (!control_.FlowRTS_CTS) (void)SetRTS(fd, rtsState_);
  if (!control_.FlowDTR_DSR) (void)SetDTR(fd, dtrState_);

  if (windowNotifier_ == nullptr) {  // nothing could reach the main thread
    ClosePortDevice(fd, changes);
    return kStatusPortError;
  }
  auto session = std::make_unique<Session>();
  session->fd = fd;
  session->changes = changes;
  session->line = line_;
  if (!session->stop.Create()) {
    ClosePortDevice(fd, changes);
    return kStatusPortError;
  }
  TReadThread::Config readConfig;
  readConfig.fd = fd;
  readConfig.stop = &session->stop;
  readConfig.window = &window_;
  readConfig.holdCount = &holdCount_;
  readConfig.timeOut = &timeOut_;
  readConfig.sizeBufRXD = sizeBufRXD_;
  readConfig.line = line_;
  TWriteThread::Config writeConfig;
  writeConfig.fd = fd;
  writeConfig.stop = &session->stop;
  writeConfig.window = &window_;
  // Decided once per open: a handler assigned later gets no reports.
  writeConfig.reportWrites = static_cast<bool>(OnTxdEmpty);
  session->reader = std::make_unique<TReadThread>(readConfig);
  session->writer = std::make_unique<TWriteThread>(writeConfig);

  queue_.clear();
  quorvel::DiscardInput(fd);
  DiscardOutput(fd);
  window_.Restart();
  if (!session->reader->Start() || !session->writer->Start()) {
    session->stop.Signal();
    window_.Stop();
    session->reader->Join();
    session->writer->Join();
    ClosePortDevice(fd, changes);
    window_.Clear();
    return kStatusPortError;
  }
  session_ = std::move(session);
  transmitReady_ = true;
  lastSend_.reset();
  // Frames sent before the settle time is over wait in the queue.
  settleTimer_.start();
  return kStatusConnected;
}

bool TComm32Kx::Close() {
  ReleasePort();
  ReportStatus(kStatusDisconnected);
  return true;
}

void TComm32Kx::ReleasePort() {
  transmitReady_ = false;
  queue_.clear();
  sendTimer_.stop();
  respTimer_.stop();
  settleTimer_.stop();
  if (!session_) return;
  // The threads may still be in the middle of a step: both are joined
  // before the descriptor and the buffers go away. Neither thread ever
  // waits for the main thread except on the receive-free hand-shake, which
  // the stop releases, so this is safe from inside OnReceive too.
  std::unique_ptr<Session> session = std::move(session_);
  session->stop.Signal();
  window_.Stop();
  session->reader->Join();
  session->writer->Join();
  ClosePortDevice(session->fd, session->changes);
  window_.Clear();  // chunks and write reports of the closed port
}

// ---- sending ----

bool TComm32Kx::SendEx(const uint8_t* buf, uint32_t size, bool waitResp) {
  if (buf == nullptr || size == 0 || !session_) return false;
  // A frame cut short would only be refused by the instrument's checksum
  // and end in a response time-out: it is sent whole or not at all.
  if (size > sizeBufTXD_) return false;
  bool admitted = false;
  try {
    admitted = queueLimit_ ? static_cast<int64_t>(queue_.size()) < maxQueue_ : queue_.empty();
    if (admitted) queue_.push_back(QueuedFrame{waitResp, std::vector<uint8_t>(buf, buf + size)});
  } catch (...) {
    admitted = false;
  }
  bool result = false;
  if (transmitReady_ && session_->writer) {
    result = admitted;
    if (admitted && queue_.size() == 1) HandOnQueueHead();
  }
  UpdateSendTimer();
  return result;
}

uint32_t TComm32Kx::ComputedResponseTimeOut(uint32_t size) const {
  // The line as it was set at open; a closed port counts as 9600 8N1.
  const LineSettings line = session_ ? session_->line : LineSettings{};
  const uint64_t total = static_cast<uint64_t>(TransmissionTimeMs(line, size + sizeBufRXD_)) +
                         maxRespTime_ + timeOut_.load() + 1000;
  return static_cast<uint32_t>(std::min<uint64_t>(total, std::numeric_limits<uint32_t>::max()));
}

void TComm32Kx::HandOnQueueHead() {
  const auto now = Clock::now();
  const bool wasReady = transmitReady_;
  bool mayGo = session_ && session_->writer && !queue_.empty() && !settleTimer_.isActive() &&
               (!lastSend_ || now - *lastSend_ > std::chrono::milliseconds(timeOut_.load()));
  bool blocked = false;
  if (mayGo && (control_.FlowDTR_DSR || control_.FlowRTS_CTS)) {
    // A driver that cannot report its modem lines (a virtual port) has no
    // flow to wait for.
    ModemLines lines;
    if (ReadModemLines(session_->fd, &lines) &&
        ((control_.FlowDTR_DSR && !lines.DSR) || (control_.FlowRTS_CTS && !lines.CTS))) {
      mayGo = false;
      blocked = true;
    }
  }
  if (mayGo || blocked) {
    transmitReady_ = false;
    sendTimer_.stop();
    const bool waitResp = queue_.front().waitResp;
    const auto size = static_cast<uint32_t>(queue_.front().bytes.size());
    bool passed = false;
    if (!blocked) {
      const QueuedFrame head = std::move(queue_.front());
      queue_.pop_front();
      lastSend_ = now;
      passed = session_->writer->QueueBytes(head.bytes.data(), head.bytes.size());
    }
    if (blocked || passed) {
      awaitingAnswer_ = waitResp;
      if (!respTimer_.isActive()) respStart_.reset();
      respTimeOut_ = frameTimeOut_ != 0 ? frameTimeOut_ : ComputedResponseTimeOut(size);
    }
    lastSend_ = now;
    respTimer_.start();
  }
  transmitReady_ = wasReady;
  UpdateSendTimer();
}

void TComm32Kx::UpdateSendTimer() {
  if (!queue_.empty() && session_ && !session_->stop.IsSignalled()) {
    if (!sendTimer_.isActive()) sendTimer_.start();
  } else {
    sendTimer_.stop();
  }
}

void TComm32Kx::SendTimerTick() {
  HandOnQueueHead();
}

void TComm32Kx::ResponseTimerTick() {
  const auto now = Clock::now();
  if (!respStart_) {
    respStart_ = now;
    return;
  }
  if (now - std::chrono::milliseconds(respTimeOut_) < *respStart_) return;
  respTimer_.stop();
  if (OnCOMStatus && waitToResponse_ && awaitingAnswer_) {
    awaitingAnswer_ = false;
    if (IsOpen()) ReportStatus(kStatusCommunicationLost);
  }
  FireNotify(OnRespTimeOver);
}

// ---- receiving ----

void TComm32Kx::HoldReceive() {
  holdCount_.fetch_add(1);
}

void TComm32Kx::DiscardInput() {
  if (!session_) return;
  quorvel::DiscardInput(session_->fd);
  window_.DropChunks();
}

void TComm32Kx::ReleaseReceive() {
  if (holdCount_.load() > 0) holdCount_.fetch_sub(1);
}

void TComm32Kx::DoReceive(const uint8_t* buf, uint32_t size) {
  if (buf == nullptr || size == 0) return;
  respStart_.reset();
  respTimer_.stop();
  if (statusONifReceive_) ReportStatus(kStatusConnected);
  const TReceive handler = OnReceive;
  if (handler) handler(this, buf, size);
}

void TComm32Kx::HandlePortMessages() {
  for (;;) {
    // While the owner holds reception, a chunk never starts inside the
    // OnReceive of an earlier one: it waits (with everything behind it)
    // until that returns, and this loop further up the stack takes it.
    const bool blockChunks = holdCount_.load() > 0 && receiveDepth_ > 0;
    std::optional<PortMessage> message = window_.Take(blockChunks);
    if (!message) return;
    if (destroying_) continue;
    switch (message->kind) {
      case PortMessage::Kind::Received: {
        ++receiveDepth_;
        window_.SetReceiveBusy(true);
        try {
          DoReceive(message->bytes.data(), static_cast<uint32_t>(message->bytes.size()));
        } catch (...) {
          // The event loop cannot carry an exception; the chunk is done.
        }
        if (--receiveDepth_ == 0) window_.SetReceiveBusy(false);
        break;
      }
      case PortMessage::Kind::Written: {
        const TReceive handler = OnTxdEmpty;
        if (session_ && handler && !message->bytes.empty()) {
          handler(this, message->bytes.data(), static_cast<uint32_t>(message->bytes.size()));
        }
        break;
      }
      case PortMessage::Kind::LineError:
        if (session_) ReportStatus(kStatusCommunicationError);
        break;
      case PortMessage::Kind::HangUp:
        // The device is gone: its threads have nothing left to do and the
        // port is let go before the owner hears of it, so that IsOpen already
        // tells and a new Open may follow at once.
        if (session_) {
          ReleasePort();
          ReportStatus(kStatusCommunicationError);
        }
        break;
    }
  }
}

// ---- port list ----

void TComm32Kx::RefreshPortList() {
  PortListService::Instance().Refresh();
}

void TComm32Kx::RebuildPortList() {
  WarnDuplicatePort();

  const std::vector<std::string>& names = PortListService::Instance().Ports();
  const size_t offset = (!portList_.empty() && IsNoneName(portList_[0])) ? 1 : 0;
  bool changed = names.size() != portList_.size() - offset;
  for (size_t i = 0; !changed && i < names.size(); ++i) changed = names[i] != portList_[i + offset];
  if (changed) {
    portList_ = names;
    portList_.insert(portList_.begin(), NoneText());
  } else if (offset == 0) {
    portList_.insert(portList_.begin(), NoneText());
  }

  if (changed && !constructing_) {
    SetCOMPort(comPort_);  // a port that went away is closed and "not found"
    FireNotify(OnPortListChange);
  }
}

void TComm32Kx::WarnDuplicatePort() {
  if (IsNoneName(comPort_)) return;
  if (!PortListService::Instance().TakeDuplicateWarning(comPort_)) return;
  const std::string text =
      FormatText(language_ == 0 ? kDuplicateWarning.pl : kDuplicateWarning.en, {comPort_});
  // Shown after the current operation, never from inside it.
  QMetaObject::invokeMethod(
      this, [text] { CurrentPrompt().MsgBox(text, std::string(), kIconWarning); },
      Qt::QueuedConnection);
}

// ---- hand-over between instances ----

void TComm32Kx::AnnounceFree(const std::string& name) {
  if (broadCastPortOFF_) PortListService::Instance().AnnounceFree(name, subscription_);
}

void TComm32Kx::PortFreeHeard(const std::string& name) {
  if (destroying_) return;
  if (status_ != kStatusAccessDenied && status_ != kStatusBusy) return;
  if (name != lastOpened_) return;
  QMetaObject::invokeMethod(
      this, [this, name] { HandOver(name); }, Qt::QueuedConnection);
}

void TComm32Kx::HandOver(const std::string& name) {
  Close();
  const Clock::time_point until =
      Clock::now() + std::chrono::milliseconds(kHandOverDelayMs + kHandOverRetryMs);
  QTimer::singleShot(kHandOverDelayMs, this, [this, name, until] { OpenHandedOver(name, until); });
}

void TComm32Kx::OpenHandedOver(const std::string& name, Clock::time_point until) {
  // The owner chose another port, or opened it, meanwhile.
  if (comPort_ != name || portIndex_ == 0 || session_) return;
  lastOpened_ = comPort_;
  const int32_t code = OpenSession();
  // The instance that let the port go may still be closing it.
  if ((code == kStatusBusy || code == kStatusAccessDenied) && Clock::now() < until) {
    QTimer::singleShot(kAccessRetryMs, this, [this, name, until] { OpenHandedOver(name, until); });
    return;
  }
  FinishOpen(code);
  FireNotify(OnPortChange);
}

}  // namespace quorvel
