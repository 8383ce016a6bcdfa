#include "serial/comm32kx.h"

#include <QMetaObject>
#include <utility>

#include "app/globals.h"
#include "app/text_utils.h"
#include "serial/port_list.h"
#include "serial/port_list_service.h"
#include "serial/termios_transport.h"

namespace quorvel {

namespace {

constexpr int kHandOverDelayMs = 100;

constexpr TextPair kDuplicateWarning{
    "UWAGA\r\nW systemie istnieją dwa porty %s.\r\nProgram może działać nieprawidłowo.",
    "WARNING\r\nThere are two %s serial ports in the system.\r\nProgram may work incorrectly."};

}  // namespace

TComm32Kx::TComm32Kx(QObject* owner, uint8_t language) : TLinkBase(owner, language) {
  comPort_ = NoneText();
  openRetry_.setInterval(kAccessRetryMs);
  connect(&openRetry_, &QTimer::timeout, this, [this] { RetryOpen(); });

  RebuildPortList();
  comPort_ = NoneText();
  lastOpened_ = NoneText();
  portIndex_ = 0;

  PortListService::Subscriber subscriber;
  subscriber.listChanged = [this] { RebuildPortList(); };
  subscriber.portFree = [this](const std::string& name) { PortFreeHeard(name); };
  subscription_ = PortListService::Instance().Subscribe(std::move(subscriber));
  constructing_ = false;
}

TComm32Kx::~TComm32Kx() {
  BeginDestruction();
  openRetry_.stop();
  openRetry_.disconnect();
  Close();
  if (!IsNoneName(lastOpened_)) AnnounceFree(lastOpened_);
  PortListService::Instance().Unsubscribe(subscription_);
}

std::string TComm32Kx::NoneText() const {
  return std::string(quorvel::NoneText(Language()));
}

bool TComm32Kx::WatchesUdev() const {
  return PortListService::Instance().WatchesUdev();
}

// ---- status and events ----

void TComm32Kx::CallStatusHandler(TLinkStatus code, const std::string& text) {
  const TStatus handler = OnCOMStatus;
  if (handler) handler(this, code, text);
}

void TComm32Kx::CallReceiveHandler(const uint8_t* buf, uint32_t size) {
  const TReceive handler = OnReceive;
  if (handler) handler(this, buf, size);
}

void TComm32Kx::CallWrittenHandler(const uint8_t* buf, uint32_t size) {
  const TReceive handler = OnTxdEmpty;
  if (handler) handler(this, buf, size);
}

void TComm32Kx::ResponseTimeOver() {
  FireNotify(OnRespTimeOver);
}

bool TComm32Kx::FlowHoldsTransmit() {
  if (!control_.FlowDTR_DSR && !control_.FlowRTS_CTS) return false;
  // A driver that cannot report its modem lines (a virtual port) has no
  // flow to wait for.
  ModemLines lines;
  ByteTransport* transport = Transport();
  return transport != nullptr && transport->ReadModemLines(&lines) &&
         ((control_.FlowDTR_DSR && !lines.DSR) || (control_.FlowRTS_CTS && !lines.CTS));
}

void TComm32Kx::FireNotify(const TNotifyEvent& event) {
  const TNotifyEvent handler = event;
  if (handler) handler(this);
}

// ---- properties ----

void TComm32Kx::SetControlFlag(bool PortControlFlags::*flag, bool on) {
  if (control_.*flag == on) return;
  control_.*flag = on;
  Reopen();
}

void TComm32Kx::SetRTSState(bool on) {
  rtsState_ = on;
  if (!control_.FlowRTS_CTS && Transport() != nullptr) (void)Transport()->SetRTS(on);
}

void TComm32Kx::SetDTRState(bool on) {
  dtrState_ = on;
  if (!control_.FlowDTR_DSR && Transport() != nullptr) (void)Transport()->SetDTR(on);
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
      // A port is its exact path: "/dev/ttyUSB0" is not "/dev/TTYUSB0".
      if (portList_[i] == resolved) {
        found = static_cast<int>(i);
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
    ReportStatus(TLinkStatus::PortNotFound);
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
  LineSettings line = Line();
  store(line.Baud, baud);
  store(line.Parity, parity);
  store(line.DataBits, dataBits);
  store(line.StopBits, stopBits);
  if (differed) StoreLine(line);

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
  if (IsOpen()) return false;
  lastOpened_ = comPort_;
  const TLinkStatus code = OpenSession();
  if (code == TLinkStatus::AccessDenied) {
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

bool TComm32Kx::FinishOpen(TLinkStatus code) {
  if (code == TLinkStatus::PortNotFound) {
    comPort_ = NoneText();
    portIndex_ = 0;
  }
  ReportStatus(code);
  return code == TLinkStatus::Connected;
}

void TComm32Kx::RetryOpen() {
  // Still refused and still wanted: anything the owner did meanwhile
  // (another port, a close, an open of its own) changed the status.
  if (IsOpen() || Status() != TLinkStatus::AccessDenied || portIndex_ == 0 ||
      Clock::now() >= openRetryUntil_) {
    openRetry_.stop();
    return;
  }
  const TLinkStatus code = OpenSession();
  if (code == TLinkStatus::AccessDenied) return;
  openRetry_.stop();
  FinishOpen(code);
}

TLinkStatus TComm32Kx::OpenSession() {
  if (portOpener_) {
    std::optional<TOpenedPort> opened = portOpener_(comPort_, Line(), rtsState_, dtrState_);
    if (opened) {
      if (!opened->transport) return opened->status;
      SetTransportLatencyMs(opened->latencyMs);
      SessionOptions options;
      options.reportWrites = static_cast<bool>(OnTxdEmpty);
      return StartSession(std::move(opened->transport), options) ? TLinkStatus::Connected
                                                                 : TLinkStatus::PortError;
    }
  }
  SetTransportLatencyMs(0);
  const PortOpenResult opened = OpenPortDevice(PortDevicePath(comPort_));
  if (opened.fd < 0) {
    switch (opened.error) {
      case PortOpenError::Busy:
        return TLinkStatus::Busy;
      case PortOpenError::NotFound:
        return TLinkStatus::PortNotFound;
      case PortOpenError::AccessDenied:
        return TLinkStatus::AccessDenied;
      default:
        return TLinkStatus::PortError;
    }
  }
  const int fd = opened.fd;
  PortDriverChanges changes;
  if (!ConfigurePort(fd, Line(), control_, &changes)) {
    ClosePortDevice(fd, changes);
    return TLinkStatus::PortError;
  }
  auto transport = std::make_unique<TermiosTransport>(fd, changes);
  if (!control_.FlowRTS_CTS) (void)transport->SetRTS(rtsState_);
  if (!control_.FlowDTR_DSR) (void)transport->SetDTR(dtrState_);
  SessionOptions options;
  options.settleMs = kSettleAfterOpenMs;
  // Decided once per open: a handler assigned later gets no reports.
  options.reportWrites = static_cast<bool>(OnTxdEmpty);
  return StartSession(std::move(transport), options) ? TLinkStatus::Connected
                                                     : TLinkStatus::PortError;
}

bool TComm32Kx::Close() {
  ReleaseSession();
  ReportStatus(TLinkStatus::Disconnected);
  return true;
}

void TComm32Kx::Reopen() {
  Close();
  Open();
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
      FormatText(Language() == 0 ? kDuplicateWarning.pl : kDuplicateWarning.en, {comPort_});
  // Told after the current operation, never from inside it.
  QMetaObject::invokeMethod(
      this,
      [this, text] {
        if (OnDuplicatePort) OnDuplicatePort(this, text);
      },
      Qt::QueuedConnection);
}

// ---- hand-over between instances ----

void TComm32Kx::AnnounceFree(const std::string& name) {
  if (broadCastPortOFF_) PortListService::Instance().AnnounceFree(name, subscription_);
}

void TComm32Kx::PortFreeHeard(const std::string& name) {
  if (Destroying()) return;
  if (Status() != TLinkStatus::AccessDenied && Status() != TLinkStatus::Busy) return;
  if (name != lastOpened_ || handOverQueued_) return;
  handOverQueued_ = true;
  QMetaObject::invokeMethod(
      this,
      [this, name] {
        handOverQueued_ = false;
        HandOver(name);
      },
      Qt::QueuedConnection);
}

void TComm32Kx::HandOver(const std::string& name) {
  Close();
  const Clock::time_point until =
      Clock::now() + std::chrono::milliseconds(kHandOverDelayMs + kHandOverRetryMs);
  QTimer::singleShot(kHandOverDelayMs, this, [this, name, until] { OpenHandedOver(name, until); });
}

void TComm32Kx::OpenHandedOver(const std::string& name, Clock::time_point until) {
  // The owner chose another port, or opened it, meanwhile.
  if (comPort_ != name || portIndex_ == 0 || IsOpen()) return;
  lastOpened_ = comPort_;
  const TLinkStatus code = OpenSession();
  // The instance that let the port go may still be closing it.
  if ((code == TLinkStatus::Busy || code == TLinkStatus::AccessDenied) && Clock::now() < until) {
    QTimer::singleShot(kAccessRetryMs, this, [this, name, until] { OpenHandedOver(name, until); });
    return;
  }
  FinishOpen(code);
  FireNotify(OnPortChange);
}

}  // namespace quorvel
