// TFtdiUSB: the USB link component. It moves frames between the program and
// one FTDI USB-to-serial converter through the D2XX function table, keeps
// the list of converters the user may pick (DeviceList, entry 0 "none"),
// rebuilds it when devices come and go, and tells the other running
// instances which converter it took and which it let go, so that theirs
// stay in step. The transmit queue, the received chunks, the answer watch
// and the status reports are the link base's (TLinkBase).
//
// Events are plain callbacks, assigned and cleared at any time, called on
// the main thread, except OnWriteDev: it runs on the transmit thread, right
// after a frame was written, and must not touch widgets or the component
// (post to the main thread instead).
#pragma once

#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/link_base.h"
#include "usb/d2xx_api.h"
#include "usb/device_list.h"

class QSocketNotifier;

namespace quorvel {

class UsbNoticeChannel;
struct D2xxTable;

class TFtdiUSB : public TLinkBase {
  Q_OBJECT
 public:
  using TReceive = std::function<void(TFtdiUSB* sender, const uint8_t* buf, uint32_t size)>;
  using TStatus = std::function<void(TFtdiUSB* sender, TLinkStatus code, const std::string& txt)>;
  using TNotifyEvent = std::function<void(TFtdiUSB* sender)>;

  // Opening a converter: attempts, and the pause between them.
  static constexpr int kOpenAttempts = 5;
  static constexpr int kOpenRetryMs = 50;

  // language: 0 Polish, 1 English (the status texts and the "none" entry).
  // The D2XX table is the process's (D2xx()) unless one is given (tests).
  TFtdiUSB(QObject* owner, uint8_t language, const D2xxTable* table = nullptr);
  ~TFtdiUSB() override;

  // Events.
  TReceive OnReceive;
  // On the transmit thread; the handler in place at the open is the one called.
  TReceive OnWriteDev;
  TNotifyEvent OnDeviceChange;      // the open device changed through DeviceIndex
  TNotifyEvent OnDeviceListChange;  // the device list changed
  TNotifyEvent OnDevListAfterCreate;
  // After every rebuild of the list, whether it changed or not (hosts that
  // wait for a list with the properties they set).
  TNotifyEvent OnListBuilt;
  const TStatus& OnUSBStatus() const { return onUSBStatus_; }
  // Assigning a handler where there was none reports the last status to it
  // at once.
  void SetOnUSBStatus(TStatus handler);

  // Published properties.
  int32_t DeviceIndex() const { return deviceIndex_; }
  // Closes the open device and opens the one at the index (0: none).
  void SetDeviceIndex(int32_t index);
  const std::string& DevNameExpected() const { return devNameExpected_; }
  void SetDevNameExpected(const std::string& names);
  bool ServiceMode() const { return serviceMode_; }
  void SetServiceMode(bool on);
  bool RepeatIfPortOpen() const { return repeatIfPortOpen_; }
  void SetRepeatIfPortOpen(bool on);
  // False while a change notice is being published; a component is only
  // destroyed when it is true.
  bool WaitToClose() const { return true; }

  // Public state.
  const usb::DeviceList& DeviceList() const { return deviceList_; }
  // The display texts of DeviceList, for a combo box ("none" when empty).
  std::vector<std::string> DisplayTexts() const;
  std::string NoneText() const;
  // The location ID of the open device (0 when none) and its chip type
  // (3 when unknown or closed).
  uint32_t LocationId() const { return locationId_; }
  uint32_t ChipType() const { return chipType_; }
  // The index of the entry whose display text or location is `text`, or -1.
  int32_t FindEntry(const std::string& text) const;
  // Builds the device list again (as after a device arrived or left).
  void RebuildDeviceList();
  // True while a refused open is being tried again (kOpenAttempts).
  bool Opening() const { return openRetry_.isActive(); }
  // The converter's latency timer in ms as the provider set it (1 when it
  // was lowered at open), or -1 when the provider cannot tell.
  int LatencyTimerMs() const { return latencyTimerMs_; }
  // Why the converter did not open, when it did not: the status stays
  // "Access denied" whatever the cause, this tells which it was.
  enum class OpenFailure : uint8_t { None, HeldElsewhere, NoPermission, Gone, NotATerminal, Other };
  OpenFailure LastOpenFailure() const { return openFailure_; }
  // True once the first device list was built.
  bool DeviceListBuilt() const { return firstBuildDone_; }
  // Rebuilds requested and not finished yet.
  int PendingRebuilds() const { return rebuildRunning_ ? 1 + (rebuildAgain_ ? 1 : 0) : 0; }

 protected:
  void Reopen() override;
  bool HasStatusHandler() const override { return static_cast<bool>(onUSBStatus_); }
  void CallStatusHandler(TLinkStatus code, const std::string& text) override;
  void CallReceiveHandler(const uint8_t* buf, uint32_t size) override;
  std::string StatusTextFor(TLinkStatus code) const override;
  bool WatchesForLostAnswer() const override { return static_cast<bool>(onUSBStatus_); }
  // Received data says "Connected" again after anything else.
  bool ReportsConnectedOnReceive() const override { return Status() != TLinkStatus::Connected; }

 private:
  const D2xxTable& table_;
  const d2xx::Functions& fn_;

  TStatus onUSBStatus_;
  int32_t deviceIndex_ = 0;
  std::string devNameExpected_;
  bool serviceMode_ = false;
  bool repeatIfPortOpen_ = true;

  usb::DeviceList deviceList_;
  uint32_t locationId_ = 0;
  uint32_t chipType_ = d2xx::FT_DEVICE_UNKNOWN;
  int latencyTimerMs_ = -1;
  OpenFailure openFailure_ = OpenFailure::None;
  bool noticesEnabled_ = true;
  bool firstBuildDone_ = false;
  bool afterCreateFired_ = false;

  // Opening: the attempts left and their timer (the main thread never waits).
  QTimer openRetry_;
  int openAttemptsLeft_ = 0;

  // The list thread (one at a time; a request meanwhile runs after it).
  struct Rebuild;
  std::thread listThread_;
  bool rebuildRunning_ = false;
  bool rebuildAgain_ = false;
  bool rebuildAgainFirst_ = false;
  std::shared_ptr<std::mutex> resultGate_;
  std::shared_ptr<Rebuild> finishedRebuild_;  // under resultGate_
  int listWakeFd_ = -1;
  QSocketNotifier* listWake_ = nullptr;
  std::shared_ptr<bool> alive_;
  usb::RetryState retry_;
  QTimer retryTimer_;

  std::unique_ptr<UsbNoticeChannel> notices_;
  uint64_t subscription_ = 0;  // to PortListService (device notices)

  void Open();
  void TryOpen();
  void FailOpen();
  bool ConfigureDevice(d2xx::FT_HANDLE handle);
  void CloseDevice();
  void ApplyDeviceIndex(int32_t index);
  void PublishChange(uint32_t oldLocation, uint32_t oldChip, const std::string& oldText);
  std::string EntryDisplay(uint32_t location) const;

  void RequestRebuild(bool firstBuild);
  void StartListThread(bool firstBuild);
  void TakeFinishedRebuild();
  void FinishRebuild(std::unique_ptr<Rebuild> rebuild);
  void ApplyNotice(const std::string& bytes, bool readable);
  void FireNotify(const TNotifyEvent& event);
  void ListChanged();
};

}  // namespace quorvel
