// TComm32Kx: the serial link component. It owns one serial port: opens and
// configures it (termios), keeps the list of the system's ports, and hands
// a port over between running instances. The transmit queue, the received
// chunks, the answer watch and the status reports are the link base's
// (TLinkBase); every event reaches the owner on the main thread, in the
// order the data was produced.
//
// Events are plain callbacks. The owner may assign or clear any of them at
// any time, also from inside a handler: the component copies a handler before
// it calls it and never keeps it.
#pragma once

#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/link_base.h"
#include "run/line_settings.h"
#include "serial/serial_port_io.h"

namespace quorvel {

class TComm32Kx : public TLinkBase {
  Q_OBJECT
 public:
  using TReceive = std::function<void(TComm32Kx* sender, const uint8_t* buf, uint32_t size)>;
  using TStatus = std::function<void(TComm32Kx* sender, TLinkStatus code, const std::string& txt)>;
  using TNotifyEvent = std::function<void(TComm32Kx* sender)>;
  using TWarning = std::function<void(TComm32Kx* sender, const std::string& text)>;

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

  // A port that is no device file (a serial port on a network) is opened
  // by the owner's opener, which answers for the names it knows and leaves
  // every other name (none) to the device files: a transport ready for the
  // threads, or none with the status the open came to.
  struct TOpenedPort {
    std::unique_ptr<ByteTransport> transport;
    TLinkStatus status = TLinkStatus::PortError;  // when there is no transport
    // What the transport itself adds between the bytes of one reply: part
    // of the automatic frame gap.
    uint32_t latencyMs = 0;
  };
  using TPortOpener = std::function<std::optional<TOpenedPort>(
      const std::string& name, const LineSettings& line, bool rts, bool dtr)>;

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
  // The port chosen is listed twice: a warning for the owner to show (after
  // the operation that found it, never from inside it), once per name.
  TWarning OnDuplicatePort;

  // Published properties.
  const std::string& COMPort() const { return comPort_; }
  void SetCOMPort(const std::string& name);
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
  bool BroadCastPortOFF() const { return broadCastPortOFF_; }
  void SetBroadCastPortOFF(bool on) { broadCastPortOFF_ = on; }

  // Public state.
  std::string NoneText() const;
  // NoneText, then the ports of the process's PortListService; brought up
  // to date (with OnPortListChange) when the service tells of a change.
  const std::vector<std::string>& PortList() const { return portList_; }
  uint16_t PortIndex() const { return portIndex_; }
  const std::string& LastOpenedPort() const { return lastOpened_; }
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
  // SendEx (of the link base) refuses a frame longer than SizeBufTXD whole,
  // never cuts it; a frame sent while the port settles after the open waits
  // in the queue.

  // Taken at the next open.
  void SetPortOpener(TPortOpener opener) { portOpener_ = std::move(opener); }

  // Rescans the ports and rebuilds the PortList of every component now; a
  // request made while a rebuild runs (further up the stack) is run later
  // instead, so rebuilds never nest.
  void RefreshPortList();

 protected:
  void Reopen() override;
  bool HasStatusHandler() const override { return static_cast<bool>(OnCOMStatus); }
  void CallStatusHandler(TLinkStatus code, const std::string& text) override;
  void CallReceiveHandler(const uint8_t* buf, uint32_t size) override;
  void CallWrittenHandler(const uint8_t* buf, uint32_t size) override;
  bool FlowHoldsTransmit() override;
  bool WatchesForLostAnswer() const override { return OnCOMStatus && waitToResponse_; }
  void ResponseTimeOver() override;
  bool ReportsConnectedOnReceive() const override { return statusONifReceive_; }

 private:
  bool constructing_ = true;

  std::string comPort_;
  PortControlFlags control_;
  bool statusONifReceive_ = true;
  bool rtsState_ = false;
  bool dtrState_ = false;
  bool waitToResponse_ = true;
  bool broadCastPortOFF_ = true;
  TPortOpener portOpener_;

  std::vector<std::string> portList_;
  uint16_t portIndex_ = 0;
  std::string lastOpened_;
  // A hand-over heard and not yet begun: the instance that let the port go
  // announces it again when it is destroyed, often right after.
  bool handOverQueued_ = false;

  QTimer openRetry_;  // tries a refused port again (see kFreshPortGraceMs)
  Clock::time_point openRetryUntil_;
  uint64_t subscription_ = 0;  // to PortListService

  // Opens comPort_ and starts the port threads; the status it comes to
  // (TLinkStatus::Connected when open), nothing reported.
  TLinkStatus OpenSession();
  // Reports the outcome of an open; false unless it is open.
  bool FinishOpen(TLinkStatus code);
  void RetryOpen();
  void FireNotify(const TNotifyEvent& event);
  void SetControlFlag(bool PortControlFlags::*flag, bool on);

  void RebuildPortList();
  void WarnDuplicatePort();
  void AnnounceFree(const std::string& name);
  void PortFreeHeard(const std::string& name);
  void HandOver(const std::string& name);
  void OpenHandedOver(const std::string& name, Clock::time_point until);
};

}  // namespace quorvel
