#include "link/link_base.h"

#include <QSocketNotifier>
#include <algorithm>
#include <limits>
#include <utility>

#include "link/read_thread.h"
#include "link/write_thread.h"

namespace quorvel {

struct TLinkBase::Session {
  std::unique_ptr<ByteTransport> transport;
  StopEvent stop;
  LineSettings line;
  std::unique_ptr<TReadThread> reader;
  std::unique_ptr<TWriteThread> writer;
};

namespace {

constexpr int kTimerIntervalMs = 100;
constexpr int kInterruptRepeatMs = 20;

}  // namespace

TLinkBase::TLinkBase(QObject* owner, uint8_t language) : QObject(owner), language_(language) {
  // The device threads post into the window and make its descriptor
  // readable; the messages are taken here, on the main thread, in order.
  if (window_.WakeFd() >= 0) {
    windowNotifier_ = new QSocketNotifier(window_.WakeFd(), QSocketNotifier::Read, this);
    connect(windowNotifier_, &QSocketNotifier::activated, this, [this] {
      window_.ResetWake();
      HandlePortMessages();
    });
  }
  UpdateAutoFrameGap();
  sendTimer_.setInterval(kTimerIntervalMs);
  respTimer_.setInterval(kTimerIntervalMs);
  connect(&sendTimer_, &QTimer::timeout, this, [this] { HandOnQueueHead(); });
  connect(&respTimer_, &QTimer::timeout, this, [this] { ResponseTimerTick(); });
  settleTimer_.setSingleShot(true);
  settleTimer_.setTimerType(Qt::PreciseTimer);  // never shorter than asked
  connect(&settleTimer_, &QTimer::timeout, this, [this] { HandOnQueueHead(); });
  spacingTimer_.setSingleShot(true);
  spacingTimer_.setTimerType(Qt::PreciseTimer);
  connect(&spacingTimer_, &QTimer::timeout, this, [this] { HandOnQueueHead(); });
}

TLinkBase::~TLinkBase() {
  BeginDestruction();
  ReleaseSession();
  delete windowNotifier_;
  windowNotifier_ = nullptr;
}

void TLinkBase::BeginDestruction() {
  destroying_ = true;
  sendTimer_.stop();
  respTimer_.stop();
  settleTimer_.stop();
  spacingTimer_.stop();
  sendTimer_.disconnect();
  respTimer_.disconnect();
  settleTimer_.disconnect();
  spacingTimer_.disconnect();
}

// ---- status ----

std::string TLinkBase::StatusTextFor(TLinkStatus status) const {
  return std::string(StatusText(status, language_));
}

void TLinkBase::ReportStatus(TLinkStatus status) {
  if (destroying_) return;
  // Stored before the handler runs: a handler that changes the link (and so
  // reports a newer status) must not be overwritten by this older one.
  status_ = status;
  if (!HasStatusHandler()) return;
  const bool failure = status != TLinkStatus::Connected && status != TLinkStatus::Disconnected;
  if (failure && soundOnError_ && ErrorSound) {
    const std::function<void()> sound = ErrorSound;
    sound();
  }
  try {
    CallStatusHandler(status, StatusTextFor(status));
  } catch (...) {
    // A failing status handler must not take the link down with it.
  }
}

void TLinkBase::RefreshStatus() {
  ReportStatus(status_);
}

// ---- properties ----

template <typename T>
void TLinkBase::SetLineSetting(uint8_t LineSettings::*field, T value) {
  const auto ordinal = static_cast<uint8_t>(value);
  if (IsOpen() && line_.*field == ordinal) return;
  line_.*field = ordinal;
  UpdateAutoFrameGap();
  Reopen();
}

void TLinkBase::SetBaudRate(TBaudRate value) {
  SetLineSetting(&LineSettings::Baud, value);
}
void TLinkBase::SetParity(TParityBit value) {
  SetLineSetting(&LineSettings::Parity, value);
}
void TLinkBase::SetDataBits(TDataBits value) {
  SetLineSetting(&LineSettings::DataBits, value);
}
void TLinkBase::SetStopBits(TStopBits value) {
  SetLineSetting(&LineSettings::StopBits, value);
}

void TLinkBase::StoreLine(const LineSettings& line) {
  line_ = line;
  UpdateAutoFrameGap();
}

FrameGapChoice TLinkBase::FrameGap() const {
  return autoFrameGap_ ? FrameGapChoice::Auto() : FrameGapChoice::Fixed(TimeOut());
}

void TLinkBase::SetFrameGap(FrameGapChoice gap) {
  autoFrameGap_ = gap.automatic;
  if (gap.automatic) {
    UpdateAutoFrameGap();
  } else {
    timeOut_.store(gap.ms == 0 ? 1 : gap.ms);
  }
  // A gap that is not short any more ends a chunk only with its silence,
  // from the bytes now on their way.
  if (!ShortFrameGap() && session_) session_->reader->ExpectAnswer(nullptr);
}

bool TLinkBase::ShortFrameGap() const {
  return autoFrameGap_ && TimeOut() < kStandardFrameGapMs;
}

void TLinkBase::SetTransportLatencyMs(uint32_t ms) {
  transportLatencyMs_ = ms;
  UpdateAutoFrameGap();
}

void TLinkBase::UpdateAutoFrameGap() {
  if (autoFrameGap_) timeOut_.store(AutoFrameGapMs(line_, transportLatencyMs_));
}

void TLinkBase::SetSizeBufTXD(uint16_t size) {
  sizeBufTXD_ = size;
  Reopen();
}

void TLinkBase::SetSizeBufRXD(uint16_t size) {
  sizeBufRXD_ = size;
  Reopen();
}

// ---- the device's session ----

ByteTransport* TLinkBase::Transport() const {
  return session_ ? session_->transport.get() : nullptr;
}

bool TLinkBase::StartSession(std::unique_ptr<ByteTransport> transport,
                             const SessionOptions& options) {
  if (!transport) return false;
  if (windowNotifier_ == nullptr) {  // nothing could reach the main thread
    transport->Close();
    return false;
  }
  auto session = std::make_unique<Session>();
  session->transport = std::move(transport);
  session->line = line_;
  if (!session->stop.Create()) {
    session->transport->Close();
    return false;
  }
  TReadThread::Config readConfig;
  readConfig.transport = session->transport.get();
  readConfig.stop = &session->stop;
  readConfig.window = &window_;
  readConfig.holdCount = &holdCount_;
  readConfig.timeOut = &timeOut_;
  readConfig.sizeBufRXD = sizeBufRXD_;
  readConfig.line = line_;
  TWriteThread::Config writeConfig;
  writeConfig.transport = session->transport.get();
  writeConfig.stop = &session->stop;
  writeConfig.window = &window_;
  writeConfig.reportWrites = options.reportWrites;
  writeConfig.frameWritten = options.frameWritten;
  session->reader = std::make_unique<TReadThread>(readConfig);
  session->writer = std::make_unique<TWriteThread>(writeConfig);

  queue_.clear();
  session->transport->DiscardInput();
  session->transport->DiscardOutput();
  window_.Restart();
  if (!session->reader->Start() || !session->writer->Start()) {
    EndSession(*session);
    return false;
  }
  session_ = std::move(session);
  transmitReady_ = true;
  lastSend_.reset();
  // Frames sent before the settle time is over wait in the queue.
  if (options.settleMs > 0) {
    settleTimer_.setInterval(options.settleMs);
    settleTimer_.start();
  }
  return true;
}

void TLinkBase::EndSession(Session& session) {
  session.stop.Signal();
  window_.Stop();
  // A driver wait ends only when it is interrupted while it runs: the
  // receive thread may enter one just after an interrupt, so it is
  // interrupted again until it has ended.
  do {
    session.transport->Interrupt();
  } while (!session.reader->WaitEnded(kInterruptRepeatMs) ||
           !session.writer->WaitEnded(kInterruptRepeatMs));
  session.reader->Join();
  session.writer->Join();
  session.transport->Close();
  window_.Clear();  // chunks and write reports of the closed device
}

void TLinkBase::ReleaseSession() {
  transmitReady_ = false;
  queue_.clear();
  sendTimer_.stop();
  respTimer_.stop();
  settleTimer_.stop();
  spacingTimer_.stop();
  if (!session_) return;
  // The threads may still be in the middle of a step: both are joined
  // before the device and the buffers go away. Neither thread ever waits
  // for the main thread except on the receive-free hand-shake, which the
  // stop releases, so this is safe from inside a receive handler too.
  std::unique_ptr<Session> session = std::move(session_);
  EndSession(*session);
}

// ---- sending ----

bool TLinkBase::SendEx(const uint8_t* buf, uint32_t size, bool waitResp) {
  if (buf == nullptr || size == 0 || !session_) return false;
  if (size > sizeBufTXD_) {
    // A frame cut short would only be refused by the instrument's checksum
    // and end in a response time-out: it is sent whole or not at all,
    // unless the component's contract is to cut it.
    if (!cutsLongFrames_) return false;
    size = sizeBufTXD_;
  }
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

uint32_t TLinkBase::ComputedResponseTimeOut(uint32_t size) const {
  // The line as it was set at open; a closed device counts as 9600 8N1.
  const LineSettings line = session_ ? session_->line : LineSettings{};
  const uint64_t total = static_cast<uint64_t>(TransmissionTimeMs(line, size + sizeBufRXD_)) +
                         maxRespTime_ + timeOut_.load() + 1000;
  return static_cast<uint32_t>(std::min<uint64_t>(total, std::numeric_limits<uint32_t>::max()));
}

void TLinkBase::HandOnQueueHead() {
  const auto now = Clock::now();
  const bool wasReady = transmitReady_;
  const bool headWaits =
      session_ && session_->writer && !queue_.empty() && !settleTimer_.isActive();
  const auto spacedAt =
      lastSend_ ? *lastSend_ + std::chrono::milliseconds(timeOut_.load()) : Clock::time_point{};
  bool mayGo = headWaits && (!lastSend_ || now > spacedAt);
  // A head that waits only for the least pause since the last frame goes
  // when the pause is over, not at the next tick of the send timer.
  if (headWaits && !mayGo) WaitForSpacing(spacedAt - now);
  bool blocked = false;
  if (mayGo && FlowHoldsTransmit()) {
    mayGo = false;
    blocked = true;
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

void TLinkBase::WaitForSpacing(Clock::duration left) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  spacingTimer_.start(static_cast<int>(std::clamp<int64_t>(ms, 1, kTimerIntervalMs)));
}

void TLinkBase::UpdateSendTimer() {
  if (!queue_.empty() && session_ && !session_->stop.IsSignalled()) {
    if (!sendTimer_.isActive()) sendTimer_.start();
  } else {
    sendTimer_.stop();
  }
}

void TLinkBase::ResponseTimerTick() {
  const auto now = Clock::now();
  if (!respStart_) {
    respStart_ = now;
    return;
  }
  if (now - std::chrono::milliseconds(respTimeOut_) < *respStart_) return;
  respTimer_.stop();
  if (WatchesForLostAnswer() && awaitingAnswer_) {
    awaitingAnswer_ = false;
    if (IsOpen()) ReportStatus(TLinkStatus::CommunicationLost);
  }
  ResponseTimeOver();
}

// ---- receiving ----

void TLinkBase::ExpectAnswer(AnswerComplete complete) {
  if (!session_) return;
  // The silence after an answer is also the pause before the next command
  // that a device which needs it gets; the short automatic gap's is too short
  // for such a device anyway, and the run gives it the standard gap once it
  // finds out. A fixed gap keeps its pause.
  session_->reader->ExpectAnswer(ShortFrameGap() ? std::move(complete) : nullptr);
}

void TLinkBase::HoldReceive() {
  holdCount_.fetch_add(1);
}

void TLinkBase::ReleaseReceive() {
  if (holdCount_.load() > 0) holdCount_.fetch_sub(1);
}

void TLinkBase::DiscardInput() {
  if (!session_) return;
  session_->transport->DiscardInput();
  window_.DropChunks();
}

void TLinkBase::DoReceive(const uint8_t* buf, uint32_t size) {
  if (buf == nullptr || size == 0) return;
  respStart_.reset();
  respTimer_.stop();
  if (ReportsConnectedOnReceive()) ReportStatus(TLinkStatus::Connected);
  CallReceiveHandler(buf, size);
}

void TLinkBase::HandlePortMessages() {
  for (;;) {
    // While the owner holds reception, a chunk never starts inside the
    // receive handler of an earlier one: it waits (with everything behind
    // it) until that returns, and this loop further up the stack takes it.
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
      case PortMessage::Kind::Written:
        if (session_ && !message->bytes.empty()) {
          CallWrittenHandler(message->bytes.data(), static_cast<uint32_t>(message->bytes.size()));
        }
        break;
      case PortMessage::Kind::LineError:
        if (session_) ReportStatus(TLinkStatus::CommunicationError);
        break;
      case PortMessage::Kind::HangUp:
        // The device is gone: its threads have nothing left to do and the
        // device is let go before the owner hears of it, so that IsOpen
        // already tells and a new open may follow at once.
        if (session_) {
          ReleaseSession();
          ReportStatus(TLinkStatus::CommunicationError);
        }
        break;
    }
  }
}

}  // namespace quorvel
