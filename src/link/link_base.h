// TLinkBase: what the serial and the USB link components share. It owns one
// open device through a ByteTransport and its two threads (TReadThread,
// TWriteThread), and does on the main thread everything around them: the
// transmit queue with its spacing, the response timer, the delivery of
// received chunks in order (and the hold gate that keeps a delivery from
// overtaking one that still runs), and the numbered status reports.
//
// The components on top keep their own properties, rules, texts and events:
// they open the device, hand the base a transport, and answer a few
// questions (which handler to call, whether flow control holds the line).
#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/byte_transport.h"
#include "link/port_message_window.h"
#include "run/line_settings.h"
#include "run/reply_watch.h"

class QSocketNotifier;

namespace quorvel {

class TReadThread;
class TWriteThread;

class TLinkBase : public QObject {
  Q_OBJECT
 public:
  // language: 0 Polish, 1 English (the status texts).
  TLinkBase(QObject* owner, uint8_t language);
  ~TLinkBase() override;

  // Plays the error sound of statuses 2 to 9 when SoundOnError is set (the
  // window plugs in its beep while it is the active one).
  std::function<void()> ErrorSound;

  uint8_t Language() const { return language_; }

  // Line settings. A change closes and reopens an open device.
  TBaudRate BaudRate() const { return static_cast<TBaudRate>(line_.Baud); }
  void SetBaudRate(TBaudRate value);
  TParityBit Parity() const { return static_cast<TParityBit>(line_.Parity); }
  void SetParity(TParityBit value);
  TDataBits DataBits() const { return static_cast<TDataBits>(line_.DataBits); }
  void SetDataBits(TDataBits value);
  TStopBits StopBits() const { return static_cast<TStopBits>(line_.StopBits); }
  void SetStopBits(TStopBits value);

  // The frame gap: the silence that ends a received chunk and the least
  // pause between two transmitted frames. By default the component chooses
  // it from the line settings and the transport's latency (AutoFrameGapMs);
  // a fixed one (for instruments that need the standard 50 ms) stays until
  // the automatic one is chosen again. Taken at once, also while open.
  FrameGapChoice FrameGap() const;
  void SetFrameGap(FrameGapChoice gap);
  // The automatic gap is in use and shorter than the standard one: a device
  // that needs the standard pause may miss commands.
  bool ShortFrameGap() const;
  // The gap in use, ms, and a fixed one (0 is stored as 1).
  uint16_t TimeOut() const { return timeOut_.load(); }
  void SetTimeOut(uint16_t ms) { SetFrameGap(FrameGapChoice::Fixed(ms)); }
  uint32_t MaxRespTime() const { return maxRespTime_; }
  void SetMaxRespTime(uint32_t ms) { maxRespTime_ = ms; }
  // The longest frame SendEx takes.
  uint16_t SizeBufTXD() const { return sizeBufTXD_; }
  void SetSizeBufTXD(uint16_t size);
  uint16_t SizeBufRXD() const { return sizeBufRXD_; }
  void SetSizeBufRXD(uint16_t size);
  bool SoundOnError() const { return soundOnError_; }
  void SetSoundOnError(bool on) { soundOnError_ = on; }
  uint32_t FrameTimeOut() const { return frameTimeOut_; }
  void SetFrameTimeOut(uint32_t ms) { frameTimeOut_ = ms; }
  bool QueueLimit() const { return queueLimit_; }
  void SetQueueLimit(bool on) { queueLimit_ = on; }
  int32_t MaxQueue() const { return maxQueue_; }
  void SetMaxQueue(int32_t count) { maxQueue_ = count; }

  // The last status reported.
  TLinkStatus Status() const { return status_; }
  // True from a successful open until the close, or until the device goes
  // away (an adapter unplugged, the far end of a virtual port closed). The
  // component then lets the device go by itself, stopping its threads, and
  // reports status 4 once, with IsOpen already false; nothing is sent or
  // received until the owner opens it again. A line error or break (also
  // status 4) leaves the device open.
  bool IsOpen() const { return session_ != nullptr; }
  // The response time-out in use for the last frame sent, ms.
  uint32_t ResponseTimeOut() const { return respTimeOut_; }
  // The computed response time-out of a frame of `size` bytes when
  // FrameTimeOut is 0: transmission time of size + SizeBufRXD bytes,
  // MaxRespTime, TimeOut and one second.
  uint32_t ComputedResponseTimeOut(uint32_t size) const;

  // Operations (main thread). None of them waits.
  void RefreshStatus();
  bool Send(const uint8_t* buf, uint32_t size) { return SendEx(buf, size, true); }
  // Queues one frame; false when it was not admitted or the device is
  // closed. A frame longer than SizeBufTXD is refused whole, or cut to
  // SizeBufTXD where the component says so (CutsLongFrames).
  bool SendEx(const uint8_t* buf, uint32_t size, bool waitResp);
  // How to tell that the bytes received from now on hold a complete answer
  // (given before the frame is sent). With the automatic frame gap, while it
  // is shorter than the standard one, an answer is then handed on as soon as
  // its last byte is read; otherwise (a fixed gap, a slow line) every chunk
  // ends with the gap's silence, and so do bytes that complete no answer.
  void ExpectAnswer(AnswerComplete complete);
  void HoldReceive();
  void ReleaseReceive();
  int32_t ReceiveHoldCount() const { return holdCount_.load(); }
  // Drops what arrived and was not delivered yet: the driver's input queue
  // and the chunks waiting for the main thread. Bytes the receive thread is
  // still gathering into a chunk (within one frame gap) are kept.
  void DiscardInput();

 protected:
  using Clock = std::chrono::steady_clock;

  // Questions the component answers.
  virtual void Reopen() = 0;
  virtual bool HasStatusHandler() const = 0;
  virtual void CallStatusHandler(TLinkStatus status, const std::string& text) = 0;
  virtual void CallReceiveHandler(const uint8_t* buf, uint32_t size) = 0;
  // A completed write, on the main thread (only when the session was started
  // with reportWrites).
  virtual void CallWrittenHandler(const uint8_t* /*buf*/, uint32_t /*size*/) {}
  // The status text of a code in the component's language.
  virtual std::string StatusTextFor(TLinkStatus status) const;
  // True while flow control keeps the next frame back.
  virtual bool FlowHoldsTransmit() { return false; }
  // True when a missing answer is to be reported as status 2.
  virtual bool WatchesForLostAnswer() const = 0;
  // Called after the response time ran out (whether reported or not).
  virtual void ResponseTimeOver() {}
  // True when a received chunk reports "Connected".
  virtual bool ReportsConnectedOnReceive() const = 0;

  // How one open device works; fixed by the component before it opens.
  struct SessionOptions {
    // Time a device gets after it was opened before the first frame goes
    // out (frames sent meanwhile queue); 0 for none.
    int settleMs = 0;
    // Post completed writes to the main thread (CallWrittenHandler).
    bool reportWrites = false;
    // Called on the transmit thread after each whole frame was written.
    std::function<void(const uint8_t* bytes, size_t size)> frameWritten;
  };

  // Starts the threads on an open device; false (device closed again) when
  // they could not start. Nothing is reported.
  bool StartSession(std::unique_ptr<ByteTransport> transport, const SessionOptions& options);
  // Stops the threads and lets the device go, without a status report.
  void ReleaseSession();
  ByteTransport* Transport() const;
  void ReportStatus(TLinkStatus status);
  // Main-thread handling of one received chunk.
  virtual void DoReceive(const uint8_t* buf, uint32_t size);
  // The latency the transport adds between bytes of one reply, part of the
  // automatic frame gap.
  void SetTransportLatencyMs(uint32_t ms);
  void SetCutsLongFrames(bool on) { cutsLongFrames_ = on; }
  void BeginDestruction();
  bool Destroying() const { return destroying_; }
  const LineSettings& Line() const { return line_; }
  // Stores line settings without reopening (the component reopens itself).
  void StoreLine(const LineSettings& line);

 private:
  struct QueuedFrame {
    bool waitResp = true;
    std::vector<uint8_t> bytes;
  };
  // One open device: its transport, the stop event and the two threads.
  struct Session;

  const uint8_t language_;
  bool destroying_ = false;

  LineSettings line_;
  std::atomic<uint16_t> timeOut_{kStandardFrameGapMs};
  bool autoFrameGap_ = true;
  uint32_t transportLatencyMs_ = 0;
  uint32_t maxRespTime_ = 250;
  uint16_t sizeBufTXD_ = 1024;
  uint16_t sizeBufRXD_ = 1024;
  bool soundOnError_ = false;
  bool cutsLongFrames_ = false;
  TLinkStatus status_ = TLinkStatus::Disconnected;
  uint32_t frameTimeOut_ = 0;
  bool queueLimit_ = false;
  int32_t maxQueue_ = 2147483647;

  std::atomic<int32_t> holdCount_{0};
  int receiveDepth_ = 0;  // receive handler calls running (nested ones included)

  bool transmitReady_ = false;
  std::deque<QueuedFrame> queue_;
  bool awaitingAnswer_ = false;
  uint32_t respTimeOut_ = 0;
  std::optional<Clock::time_point> respStart_;
  std::optional<Clock::time_point> lastSend_;
  QTimer sendTimer_;
  QTimer respTimer_;
  QTimer settleTimer_;   // runs from the open until the first frame may go
  QTimer spacingTimer_;  // runs until the least pause since the last frame is over

  PortMessageWindow window_;
  QSocketNotifier* windowNotifier_ = nullptr;
  std::unique_ptr<Session> session_;

  template <typename T>
  void SetLineSetting(uint8_t LineSettings::*field, T value);
  void UpdateAutoFrameGap();
  // Stops the threads of a session and lets its device go.
  void EndSession(Session& session);
  void HandOnQueueHead();
  // Hands the queue head on once `left` has passed.
  void WaitForSpacing(Clock::duration left);
  void ResponseTimerTick();
  void UpdateSendTimer();
  void HandlePortMessages();
};

}  // namespace quorvel
