// TComm32Kx: the serial link component. It owns one serial port: opens and
// configures it, sends frames through a queue, cuts the incoming bytes into
// received chunks, watches for a missing answer and reports the link's
// condition as a numbered status with a text in its language. Port I/O runs
// on two threads (TReadThread, TWriteThread); every event reaches the owner on
// the main thread, in the order the data was produced.
//
// Events are plain callbacks. The owner may assign or clear any of them at
// any time, also from inside a handler: the component copies a handler before
// it calls it and never keeps it.
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

#include "serial/line_settings.h"
#include "serial/port_message_window.h"
#include "serial/serial_port_io.h"

class QSocketNotifier;

namespace quorvel {

class TReadThread;
class TWriteThread;

class TComm32Kx : public QObject {
  Q_OBJECT
 public:
  using TReceive = std::function<void(TComm32Kx* sender, const uint8_t* buf, uint32_t size)>;
  using TStatus = std::function<void(TComm32Kx* sender, int32_t code, const std::string& txt)>;
  using TNotifyEvent = std::function<void(TComm32Kx* sender)>;

  // Time a port gets after it was opened before the first frame goes out:
  // a USB adapter may still be setting up its line (and a device on it may
  // still be waking up from the modem lines just raised); bytes sent at once
  // can be lost. Open itself does not wait: frames sent meanwhile queue.
  static constexpr int kSettleAfterOpenMs = 50;
  // A port that entered the port list this short a time ago and refused
  // access may only be waiting for the permissions udev gives it: a refused
  // Open is then tried again every kAccessRetryMs (after status 6 was
  // reported); it reports Connected when it gets through.
  static constexpr int kFreshPortGraceMs = 1000;
  static constexpr int kAccessRetryMs = 50;
  // A port handed over by another instance that is still held (or not yet
  // given back its permissions) is tried again for this long before its
  // status is reported.
  static constexpr int kHandOverRetryMs = 200;

  // language: 0 Polish, 1 English (NoneText and the status texts).
  explicit TComm32Kx(QObject* owner, uint8_t language);
  ~TComm32Kx() override;

  // Events.
  TReceive OnReceive;           // a received chunk; the buffer is valid during the call
  TReceive OnTxdEmpty;          // bytes written to the line (when set at open)
  TStatus OnCOMStatus;          // a status report
  TNotifyEvent OnRespTimeOver;  // no answer within the response time-out
  TNotifyEvent OnPortListChange;
  TNotifyEvent OnPortChange;  // the port was (re)opened under a new name or handed over
  // Plays the error sound of statuses 2 to 9 when SoundOnError is set (the
  // window plugs in its beep while it is the active one).
  std::function<void()> ErrorSound;

  // Published properties.
  const std::string& COMPort() const { return comPort_; }
  void SetCOMPort(const std::string& name);
  TBaudRate BaudRate() const { return static_cast<TBaudRate>(line_.Baud); }
  void SetBaudRate(TBaudRate value);
  TParityBit Parity() const { return static_cast<TParityBit>(line_.Parity); }
  void SetParity(TParityBit value);
  TDataBits DataBits() const { return static_cast<TDataBits>(line_.DataBits); }
  void SetDataBits(TDataBits value);
  TStopBits StopBits() const { return static_cast<TStopBits>(line_.StopBits); }
  void SetStopBits(TStopBits value);
  // The quiet period that ends a received chunk and the least gap between
  // two transmitted frames, ms. By default the component chooses it from the
  // line settings (AutoTimeOut, see AutoQuietPeriodMs); SetTimeOut fixes it
  // (for instruments that need the standard 50 ms) until SetAutoTimeOut(true).
  uint16_t TimeOut() const { return timeOut_.load(); }
  void SetTimeOut(uint16_t ms);
  bool AutoTimeOut() const { return autoTimeOut_; }
  void SetAutoTimeOut(bool on);
  uint32_t MaxRespTime() const { return maxRespTime_; }
  void SetMaxRespTime(uint32_t ms) { maxRespTime_ = ms; }
  // The longest frame SendEx takes.
  uint16_t SizeBufTXD() const { return sizeBufTXD_; }
  void SetSizeBufTXD(uint16_t size);
  uint16_t SizeBufRXD() const { return sizeBufRXD_; }
  void SetSizeBufRXD(uint16_t size);
  bool StatusONifReceive() const { return statusONifReceive_; }
  void SetStatusONifReceive(bool on) { statusONifReceive_ = on; }
  bool DTRCtrlEnable() const { return control_.DTRCtrlEnable; }
  void SetDTRCtrlEnable(bool on) { SetControlFlag(&PortControlFlags::DTRCtrlEnable, on); }
  bool DTRCtrlHandshake() const { return control_.DTRCtrlHandshake; }
  void SetDTRCtrlHandshake(bool on) { SetControlFlag(&PortControlFlags::DTRCtrlHandshake, on); }
  bool RTSCtrlEnable() const { return control_.RTSCtrlEnable; }
  void SetRTSCtrlEnable(bool on) { SetControlFlag(&PortControlFlags::RTSCtrlEnable, on); }
  bool RTSCtrlHandshake() const { return control_.RTSCtrlHandshake; }
  void SetRTSCtrlHandshake(bool on) { SetControlFlag(&PortControlFlags::RTSCtrlHandshake, on); }
  bool RTSCtrlToggle() const { return control_.RTSCtrlToggle; }
  void SetRTSCtrlToggle(bool on) { SetControlFlag(&PortControlFlags::RTSCtrlToggle, on); }
  bool FlowDTR_DSR() const { return control_.FlowDTR_DSR; }
  void SetFlowDTR_DSR(bool on) { SetControlFlag(&PortControlFlags::FlowDTR_DSR, on); }
  bool FlowRTS_CTS() const { return control_.FlowRTS_CTS; }
  void SetFlowRTS_CTS(bool on) { SetControlFlag(&PortControlFlags::FlowRTS_CTS, on); }
  bool RTSState() const { return rtsState_; }
  void SetRTSState(bool on);
  bool DTRState() const { return dtrState_; }
  void SetDTRState(bool on);
  bool WaitToResponse() const { return waitToResponse_; }
  void SetWaitToResponse(bool on) { waitToResponse_ = on; }
  bool SoundOnError() const { return soundOnError_; }
  void SetSoundOnError(bool on) { soundOnError_ = on; }
  bool BroadCastPortOFF() const { return broadCastPortOFF_; }
  void SetBroadCastPortOFF(bool on) { broadCastPortOFF_ = on; }

  // Public state.
  uint8_t Language() const { return language_; }
  std::string NoneText() const;
  // NoneText, then the ports of the process's PortListService; brought up
  // to date (with OnPortListChange) when the service tells of a change.
  const std::vector<std::string>& PortList() const { return portList_; }
  uint16_t PortIndex() const { return portIndex_; }
  uint8_t Status() const { return status_; }
  uint32_t FrameTimeOut() const { return frameTimeOut_; }
  void SetFrameTimeOut(uint32_t ms) { frameTimeOut_ = ms; }
  bool QueueLimit() const { return queueLimit_; }
  void SetQueueLimit(bool on) { queueLimit_ = on; }
  int32_t MaxQueue() const { return maxQueue_; }
  void SetMaxQueue(int32_t count) { maxQueue_ = count; }
  const std::string& LastOpenedPort() const { return lastOpened_; }
  // True from a successful Open until Close, or until the device goes away
  // (an adapter unplugged, the far end of a virtual port closed). The
  // component then lets the port go by itself, stopping its threads, and
  // reports status 4 once, with IsOpen already false; nothing is sent or
  // received until the owner opens it again. A line error or break (also
  // status 4) leaves the port open.
  bool IsOpen() const { return session_ != nullptr; }
  // The response time-out in use for the last frame sent, ms.
  uint32_t ResponseTimeOut() const { return respTimeOut_; }
  // The computed response time-out of a frame of `size` bytes when
  // FrameTimeOut is 0: transmission time of size + SizeBufRXD bytes,
  // MaxRespTime, TimeOut and one second.
  uint32_t ComputedResponseTimeOut(uint32_t size) const;
  // True when device notices come from udev (else the list is rescanned).
  // The port list and its watcher belong to PortListService, shared by
  // every component of the process.
  bool WatchesUdev() const;

  // Operations (main thread). None of them waits: Open reports Connected
  // (or why not) at once; the first frame goes out kSettleAfterOpenMs later.
  virtual bool Open();
  virtual bool Close();
  void SetParams(std::optional<std::string> portName, std::optional<TBaudRate> baud,
                 std::optional<TParityBit> parity, std::optional<TDataBits> dataBits,
                 std::optional<TStopBits> stopBits);
  void SetPortNumber(uint16_t number);
  void RefreshStatus();
  bool Send(const uint8_t* buf, uint32_t size) { return SendEx(buf, size, true); }
  // Queues one frame; false when it was not admitted, the port is closed, or
  // the frame is longer than SizeBufTXD (refused whole, never cut short).
  // A frame sent while the port settles after the open waits in the queue.
  bool SendEx(const uint8_t* buf, uint32_t size, bool waitResp);
  void HoldReceive();
  void ReleaseReceive();
  // Drops what arrived and was not delivered yet: the driver's input queue
  // and the chunks waiting for the main thread. Bytes the receive thread is
  // still gathering into a chunk (within one TimeOut of quiet) are kept.
  void DiscardInput();
  int32_t ReceiveHoldCount() const { return holdCount_.load(); }
  // Rescans the ports and rebuilds the PortList of every component now; a
  // request made while a rebuild runs (further up the stack) is run later
  // instead, so rebuilds never nest.
  void RefreshPortList();

 protected:
  // Main-thread handling of one received chunk.
  virtual void DoReceive(const uint8_t* buf, uint32_t size);

 private:
  using Clock = std::chrono::steady_clock;

  struct QueuedFrame {
    bool waitResp = true;
    std::vector<uint8_t> bytes;
  };
  // One open port: its descriptor, the stop event and the two threads.
  struct Session;

  const uint8_t language_;
  bool destroying_ = false;
  bool constructing_ = true;

  std::string comPort_;
  LineSettings line_;
  PortControlFlags control_;
  std::atomic<uint16_t> timeOut_{kStandardQuietPeriodMs};
  bool autoTimeOut_ = true;
  uint32_t maxRespTime_ = 250;
  uint16_t sizeBufTXD_ = 1024;
  uint16_t sizeBufRXD_ = 1024;
  bool statusONifReceive_ = true;
  bool rtsState_ = false;
  bool dtrState_ = false;
  bool waitToResponse_ = true;
  bool soundOnError_ = false;
  bool broadCastPortOFF_ = true;

  std::vector<std::string> portList_;
  uint16_t portIndex_ = 0;
  uint8_t status_ = kStatusDisconnected;
  uint32_t frameTimeOut_ = 0;
  bool queueLimit_ = false;
  int32_t maxQueue_ = 2147483647;
  std::string lastOpened_;

  std::atomic<int32_t> holdCount_{0};
  int receiveDepth_ = 0;  // OnReceive calls running (nested ones included)

  bool transmitReady_ = false;
  std::deque<QueuedFrame> queue_;
  bool awaitingAnswer_ = false;
  uint32_t respTimeOut_ = 0;
  std::optional<Clock::time_point> respStart_;
  std::optional<Clock::time_point> lastSend_;
  QTimer sendTimer_;
  QTimer respTimer_;
  QTimer settleTimer_;  // runs from the open until the first frame may go
  QTimer openRetry_;    // tries a refused port again (see kFreshPortGraceMs)
  Clock::time_point openRetryUntil_;

  PortMessageWindow window_;
  QSocketNotifier* windowNotifier_ = nullptr;
  std::unique_ptr<Session> session_;
  uint64_t subscription_ = 0;  // to PortListService

  void ReportStatus(int32_t code);
  // Opens comPort_ and starts the port threads; the status it comes to
  // (kStatusConnected when open), nothing reported.
  int32_t OpenSession();
  // Reports the outcome of an open; false unless it is open.
  bool FinishOpen(int32_t code);
  void RetryOpen();
  // Stops the threads and closes the port, without a status report.
  void ReleasePort();
  void FireNotify(const TNotifyEvent& event);
  void Reopen();
  void UpdateAutoTimeOut();
  template <typename T>
  void SetLineSetting(uint8_t LineSettings::*field, T value);
  void SetControlFlag(bool PortControlFlags::*flag, bool on);

  void HandOnQueueHead();
  void SendTimerTick();
  void ResponseTimerTick();
  void UpdateSendTimer();

  void HandlePortMessages();

  void RebuildPortList();
  void WarnDuplicatePort();
  void AnnounceFree(const std::string& name);
  void PortFreeHeard(const std::string& name);
  void HandOver(const std::string& name);
  void OpenHandedOver(const std::string& name, Clock::time_point until);
};

}  // namespace quorvel
