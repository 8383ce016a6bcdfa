#include "usb/ftdi_usb.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <unistd.h>

#include "app/globals.h"
#include "serial/port_list_service.h"
#include "usb/builtin_provider.h"
#include "usb/d2xx_library.h"
#include "usb/d2xx_transport.h"
#include "usb/usb_instances.h"

namespace quorvel {

using namespace d2xx;

namespace {

// The process's table, with the built-in provider registered before the
// table is chosen.
const D2xxTable& ProcessTable() {
  SetBuiltInD2xxProvider(&BuiltInD2xxFunctions);
  return D2xx();
}

// Other programs that hold FTDI devices may publish them in a list under the
// user's runtime folder; it is read under its lock, bounded in size.
std::vector<usb::NoticeDevice> ReadOthersOpenDevices() {
  const std::string lockPath =
      SharedObjectPath("VARNELD USB FT8U2xx DeviceCheckNameMutexOpenCheckPort");
  const std::string listPath =
      SharedObjectPath("VARNELD USB FT8U2xx DeviceCheckNameMapBufCheckPortList");
  if (lockPath.empty()) return {};
  const int list = open(listPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (list < 0) return {};
  const int lock = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (lock >= 0) {
    while (flock(lock, LOCK_SH) < 0 && errno == EINTR) {
    }
  }
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(list, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
    if (bytes.size() > usb::kMaxOpenDeviceListSize) {
      bytes.clear();  // not believed: nothing is merged
      break;
    }
  }
  if (lock >= 0) close(lock);
  close(list);
  return usb::ParseOpenDeviceList(bytes);
}

}  // namespace

struct TFtdiUSB::Rebuild {
  usb::Enumeration enumeration;
  uint32_t openLocation = 0;
  bool firstBuild = false;
};

TFtdiUSB::TFtdiUSB(QObject* owner, uint8_t language, const D2xxTable* table)
    : TLinkBase(owner, language),
      table_(table != nullptr ? *table : ProcessTable()),
      fn_(table_.fn),
      resultGate_(std::make_shared<std::mutex>()),
      alive_(std::make_shared<bool>(true)) {
  // A frame longer than the transmit size is sent cut to it: the engine
  // raises the size before a run, so only other callers meet the rule.
  SetCutsLongFrames(true);
  usb::InsertNoneEntry(deviceList_, language);
  openRetry_.setSingleShot(true);
  openRetry_.setInterval(kOpenRetryMs);
  connect(&openRetry_, &QTimer::timeout, this, [this] { TryOpen(); });
  retryTimer_.setSingleShot(true);
  connect(&retryTimer_, &QTimer::timeout, this, [this] { RequestRebuild(true); });

  listWakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (listWakeFd_ >= 0) {
    listWake_ = new QSocketNotifier(listWakeFd_, QSocketNotifier::Read, this);
    connect(listWake_, &QSocketNotifier::activated, this, [this] { TakeFinishedRebuild(); });
  }
  notices_ = std::make_unique<UsbNoticeChannel>(
      [this](const std::string& bytes, bool readable) { ApplyNotice(bytes, readable); });
  // Device arrivals and removals (a udev monitor on usb and tty, or a
  // rescan where there is no udev) come through the port-list service.
  PortListService::Subscriber subscriber;
  subscriber.listChanged = [this] { RequestRebuild(false); };
  subscription_ = PortListService::Instance().Subscribe(std::move(subscriber));
  // The first list is built once the owner has set its properties (the
  // expected names above all): from the event loop, not from here.
  QMetaObject::invokeMethod(
      this, [this] { RequestRebuild(true); }, Qt::QueuedConnection);
}

TFtdiUSB::~TFtdiUSB() {
  if (IsOpen() || deviceIndex_ != 0) SetDeviceIndex(0);
  BeginDestruction();
  openRetry_.stop();
  retryTimer_.stop();
  openRetry_.disconnect();
  retryTimer_.disconnect();
  PortListService::Instance().Unsubscribe(subscription_);
  {
    std::lock_guard gate(*resultGate_);
    *alive_ = false;
  }
  if (listThread_.joinable()) listThread_.join();
  delete listWake_;
  if (listWakeFd_ >= 0) close(listWakeFd_);
}

void TFtdiUSB::TakeFinishedRebuild() {
  uint64_t count = 0;
  (void)!read(listWakeFd_, &count, sizeof count);
  std::shared_ptr<Rebuild> finished;
  {
    const std::lock_guard guard(*resultGate_);
    finished = std::move(finishedRebuild_);
  }
  if (finished) FinishRebuild(std::make_unique<Rebuild>(std::move(*finished)));
}

// ---- events and status ----

void TFtdiUSB::SetOnUSBStatus(TStatus handler) {
  const bool had = static_cast<bool>(onUSBStatus_);
  onUSBStatus_ = std::move(handler);
  if (!had && onUSBStatus_) RefreshStatus();
}

void TFtdiUSB::CallStatusHandler(TLinkStatus code, const std::string& text) {
  const TStatus handler = onUSBStatus_;
  if (handler) handler(this, code, text);
}

void TFtdiUSB::CallReceiveHandler(const uint8_t* buf, uint32_t size) {
  const TReceive handler = OnReceive;
  if (handler) handler(this, buf, size);
}

std::string TFtdiUSB::StatusTextFor(TLinkStatus code) const {
  return std::string(UsbStatusText(code, Language()));
}

void TFtdiUSB::FireNotify(const TNotifyEvent& event) {
  const TNotifyEvent handler = event;
  if (handler) handler(this);
}

// ---- the device list's texts ----

std::string TFtdiUSB::NoneText() const {
  return std::string(quorvel::NoneText(Language()));
}

std::vector<std::string> TFtdiUSB::DisplayTexts() const {
  std::vector<std::string> texts;
  texts.reserve(deviceList_.size());
  for (const usb::DeviceEntry& entry : deviceList_) {
    texts.emplace_back(usb::EntryDisplayText(entry.text));
  }
  if (texts.empty()) texts.push_back(NoneText());
  return texts;
}

int32_t TFtdiUSB::FindEntry(const std::string& text) const {
  for (size_t i = 0; i < deviceList_.size(); ++i) {
    const std::string_view entry = deviceList_[i].text;
    if (usb::EntryDisplayText(entry) == text || usb::EntryName(entry) == text) {
      return static_cast<int32_t>(i);
    }
  }
  return -1;
}

std::string TFtdiUSB::EntryDisplay(uint32_t location) const {
  if (location != 0) {
    for (const usb::DeviceEntry& entry : deviceList_) {
      if (usb::EntryLocation(entry.text) == location) {
        return std::string(usb::EntryDisplayText(entry.text));
      }
    }
  }
  return NoneText();
}

// ---- properties ----

void TFtdiUSB::SetDevNameExpected(const std::string& names) {
  if (names == devNameExpected_) return;
  devNameExpected_ = names;
  RequestRebuild(false);
}

void TFtdiUSB::SetServiceMode(bool on) {
  if (on == serviceMode_) return;
  serviceMode_ = on;
  RequestRebuild(false);
}

void TFtdiUSB::SetRepeatIfPortOpen(bool on) {
  repeatIfPortOpen_ = on;
  if (on) RequestRebuild(false);
}

// ---- selecting, opening and closing ----

void TFtdiUSB::SetDeviceIndex(int32_t index) {
  if (index < 0) index = 0;
  uint32_t location = 0;
  if (static_cast<size_t>(index) < deviceList_.size()) {
    const std::optional<uint32_t> parsed = usb::EntryLocation(deviceList_[index].text);
    if (parsed) {
      location = *parsed;
    } else {
      index = 0;
    }
  }
  if (location == locationId_ && (index != 0 || location != 0)) return;

  const bool wasOpen = IsOpen();
  const uint32_t oldLocation = locationId_;
  const uint32_t oldChip = chipType_;
  const std::string oldText = EntryDisplay(oldLocation);
  CloseDevice();
  locationId_ = location;
  deviceIndex_ = index;
  Open();
  const bool nowOpen = IsOpen();
  if (!wasOpen && nowOpen) SharedOpenCount::Instance().Add(1);
  if (wasOpen && !nowOpen) SharedOpenCount::Instance().Add(-1);
  if (locationId_ != oldLocation && noticesEnabled_) {
    PublishChange(oldLocation, oldChip, oldText);
    FireNotify(OnDeviceChange);
  }
}

namespace {

TFtdiUSB::OpenFailure OpenFailureOf(DWORD error) {
  using Failure = TFtdiUSB::OpenFailure;
  switch (error) {
    case d2xx_error::kSharingViolation:
      return Failure::HeldElsewhere;
    case d2xx_error::kAccessDenied:
      return Failure::NoPermission;
    case d2xx_error::kFileNotFound:
    case d2xx_error::kDeviceNotConnected:
      return Failure::Gone;
    case d2xx_error::kNotSupported:
      return Failure::NotATerminal;
    default:
      return Failure::Other;
  }
}

}  // namespace

void TFtdiUSB::Reopen() {
  if (Destroying()) return;
  CloseDevice();
  Open();
}

void TFtdiUSB::Open() {
  if (fn_.FT_W32_CreateFile == nullptr || IsOpen()) return;
  if (deviceIndex_ == 0) {
    CloseDevice();
    return;
  }
  openAttemptsLeft_ = kOpenAttempts;
  TryOpen();
}

void TFtdiUSB::TryOpen() {
  if (IsOpen() || deviceIndex_ == 0 || openAttemptsLeft_ <= 0) return;
  --openAttemptsLeft_;
  // D2XX takes the location ID itself in place of the name.
  const auto* name = reinterpret_cast<const char*>(static_cast<uintptr_t>(locationId_));
  FT_HANDLE handle = fn_.FT_W32_CreateFile(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, kOpenByLocationFlags, nullptr);
  if (handle == nullptr || handle == InvalidHandle()) {
    openFailure_ =
        OpenFailureOf(fn_.FT_W32_GetLastError != nullptr ? fn_.FT_W32_GetLastError(InvalidHandle())
                                                         : d2xx_error::kGeneralFailure);
    // Another instance may be letting the device go: try again shortly,
    // without holding up the main thread.
    if (openAttemptsLeft_ > 0) {
      openRetry_.start();
    } else {
      FailOpen();
    }
    return;
  }
  const uint32_t listed = static_cast<size_t>(deviceIndex_) < deviceList_.size()
                              ? deviceList_[deviceIndex_].chipType
                              : FT_DEVICE_UNKNOWN;
  chipType_ = listed > usb::kMaxChipType ? FT_DEVICE_UNKNOWN : listed;
  openFailure_ = OpenFailure::None;
  if (!ConfigureDevice(handle)) {
    if (fn_.FT_W32_CloseHandle != nullptr) (void)fn_.FT_W32_CloseHandle(handle);
    chipType_ = FT_DEVICE_UNKNOWN;
    ReportStatus(TLinkStatus::PortError);
    return;
  }
  // The converter holds bytes back up to its latency timer: part of the
  // frame gap that ends a reply.
  const int latency =
      table_.source == D2xxTable::Source::BuiltIn ? BuiltInLatencyTimerMs(handle) : -1;
  SetTransportLatencyMs(latency > 0 ? static_cast<uint32_t>(latency) : 0);
  latencyTimerMs_ = latency;

  SessionOptions options;
  if (const TReceive written = OnWriteDev) {
    options.frameWritten = [this, written](const uint8_t* bytes, size_t size) {
      written(this, bytes, static_cast<uint32_t>(size));
    };
  }
  if (!StartSession(std::make_unique<D2xxTransport>(fn_, handle), options)) {
    chipType_ = FT_DEVICE_UNKNOWN;
    ReportStatus(TLinkStatus::PortError);
    return;
  }
  ReportStatus(TLinkStatus::Connected);
}

void TFtdiUSB::FailOpen() {
  deviceIndex_ = 0;
  locationId_ = 0;
  ReportStatus(TLinkStatus::AccessDenied);
}

bool TFtdiUSB::ConfigureDevice(FT_HANDLE handle) {
  if (fn_.FT_W32_GetCommState == nullptr || fn_.FT_W32_SetCommState == nullptr) return false;
  FTDCB dcb{};
  if (fn_.FT_W32_GetCommState(handle, &dcb) == 0) return false;
  FTTIMEOUTS timeouts{};
  if (fn_.FT_W32_GetCommTimeouts != nullptr) (void)fn_.FT_W32_GetCommTimeouts(handle, &timeouts);
  const LineSettings& line = Line();
  dcb.DCBlength = sizeof(FTDCB);
  dcb.Flags = kDcbBinaryAbortOnError;
  dcb.BaudRate = BaudRateValue(line.Baud);
  dcb.Parity = line.Parity;
  dcb.ByteSize = static_cast<BYTE>(line.DataBits + 4);
  dcb.StopBits = line.StopBits;
  // Reads return at once with whatever waits.
  timeouts = FTTIMEOUTS{0xFFFFFFFFu, 0, 0, 0, 0};
  if (fn_.FT_W32_SetupComm != nullptr)
    (void)fn_.FT_W32_SetupComm(handle, SizeBufRXD(), SizeBufTXD());
  if (fn_.FT_W32_SetCommState(handle, &dcb) == 0) return false;
  if (fn_.FT_W32_SetCommMask != nullptr) (void)fn_.FT_W32_SetCommMask(handle, kLinkEventMask);
  if (fn_.FT_W32_SetCommTimeouts != nullptr) (void)fn_.FT_W32_SetCommTimeouts(handle, &timeouts);
  return true;
}

void TFtdiUSB::CloseDevice() {
  openRetry_.stop();
  openAttemptsLeft_ = 0;
  ReleaseSession();
  ReportStatus(TLinkStatus::Disconnected);
  chipType_ = FT_DEVICE_UNKNOWN;
}

// ---- the instances' change notice ----

void TFtdiUSB::PublishChange(uint32_t oldLocation, uint32_t oldChip, const std::string& oldText) {
  usb::ChangeNotice notice;
  notice.expectedNames = devNameExpected_;
  notice.released = {oldLocation, oldLocation != 0 ? oldChip : FT_DEVICE_UNKNOWN,
                     oldLocation != 0 ? oldText : NoneText()};
  notice.taken = {locationId_, chipType_, EntryDisplay(locationId_)};
  notices_->Publish(usb::EncodeChangeNotice(notice));
}

void TFtdiUSB::ApplyNotice(const std::string& bytes, bool readable) {
  if (Destroying()) return;
  usb::ParsedNotice parsed;
  if (readable) parsed = usb::ParseChangeNotice(bytes);
  // The device this component holds open cannot have been taken by anyone
  // else: such a notice comes from another machine's view of the same
  // location (a container, a second bus) and must not close it.
  if (IsOpen() && parsed.takenParsed && parsed.notice.taken.location == locationId_) {
    parsed.notice.taken.location = 0;
  }
  const usb::NameFilter filter(devNameExpected_, serviceMode_);
  if (!usb::NoticeConcerns(parsed, filter)) return;
  const usb::DeviceList before = deviceList_;
  const usb::NoticeOutcome outcome = usb::ApplyChangeNotice(deviceList_, parsed, filter);
  if (outcome.result == usb::NoticeResult::Rebuild) {
    RequestRebuild(false);
    return;
  }
  if (!outcome.changed) return;
  // Entries came or went before the selection: it stays on its device.
  const usb::Selection selection = usb::KeepSelection(before, deviceIndex_, deviceList_);
  if (selection.index >= 0 && selection.location == locationId_) deviceIndex_ = selection.index;
  QMetaObject::invokeMethod(
      this, [this] { ListChanged(); }, Qt::QueuedConnection);
}

// ---- building the list ----

void TFtdiUSB::RebuildDeviceList() {
  RequestRebuild(false);
}

void TFtdiUSB::RequestRebuild(bool firstBuild) {
  if (Destroying()) return;
  if (rebuildRunning_) {
    rebuildAgain_ = true;
    rebuildAgainFirst_ = rebuildAgainFirst_ || firstBuild;
    return;
  }
  StartListThread(firstBuild);
}

void TFtdiUSB::StartListThread(bool firstBuild) {
  if (listThread_.joinable()) listThread_.join();  // it has handed its result on
  if (listWakeFd_ < 0) return;                     // no way back to this thread: no list
  auto rebuild = std::make_shared<Rebuild>();
  rebuild->openLocation = IsOpen() ? locationId_ : 0;
  rebuild->firstBuild = firstBuild;
  const usb::NameFilter filter(devNameExpected_, serviceMode_);
  rebuildRunning_ = true;
  try {
    listThread_ = std::thread(
        [this, rebuild, filter, fn = &fn_, gate = resultGate_, alive = alive_]() mutable {
          {
            const EnumerationLock lock;
            rebuild->enumeration = usb::EnumerateDevices(*fn, rebuild->openLocation, filter);
          }
          // The result goes to the main thread under the gate, and a wake-up
          // tells it to take it: the thread keeps nothing of it.
          const std::lock_guard guard(*gate);
          if (!*alive) return;
          finishedRebuild_ = std::move(rebuild);
          const uint64_t one = 1;
          (void)!write(listWakeFd_, &one, sizeof one);
        });
  } catch (...) {
    rebuildRunning_ = false;  // no thread: the next device notice tries again
  }
}

void TFtdiUSB::FinishRebuild(std::unique_ptr<Rebuild> rebuild) {
  rebuildRunning_ = false;
  if (Destroying()) return;
  // A device this component opened while the list thread ran was taken
  // there for one opened elsewhere: that list would close it again.
  if (rebuild->openLocation != (IsOpen() ? locationId_ : 0)) {
    StartListThread(rebuild->firstBuild || rebuildAgainFirst_);
    rebuildAgain_ = false;
    rebuildAgainFirst_ = false;
    return;
  }
  firstBuildDone_ = true;
  const usb::NameFilter filter(devNameExpected_, serviceMode_);
  usb::DeviceList list = std::move(rebuild->enumeration.entries);
  usb::SortDeviceList(list);
  const std::vector<usb::NoticeDevice> others = ReadOthersOpenDevices();
  usb::MergeOpenDevices(list, others, filter);
  usb::InsertNoneEntry(list, Language());
  usb::DeviceList oldList = std::move(deviceList_);
  deviceList_ = std::move(list);

  // The selection stays on its device; a device that went away is closed
  // without a change notice (nobody else can take it).
  const usb::Selection selection = usb::KeepSelection(oldList, deviceIndex_, deviceList_);
  if (selection.index != deviceIndex_) {
    deviceIndex_ = selection.index;
    locationId_ = selection.location;
  }
  noticesEnabled_ = false;
  SetDeviceIndex(deviceIndex_);
  noticesEnabled_ = true;

  // The first list after creation is always announced (OnDevListAfterCreate
  // tells the owner the list is there); later ones when they differ.
  const bool firstList = rebuild->firstBuild && !afterCreateFired_;
  if (firstList ||
      (OnDeviceListChange && usb::ListChanged(oldList, deviceList_, rebuild->firstBuild))) {
    QMetaObject::invokeMethod(
        this, [this] { ListChanged(); }, Qt::QueuedConnection);
  }

  if (const std::optional<uint32_t> delay =
          usb::PlanRetry(retry_, rebuild->enumeration, SharedOpenCount::Instance().Value(),
                         repeatIfPortOpen_, usb::TickMs())) {
    if (!retryTimer_.isActive()) retryTimer_.start(static_cast<int>(*delay));
  }
  if (rebuildAgain_) {
    const bool first = rebuildAgainFirst_;
    rebuildAgain_ = false;
    rebuildAgainFirst_ = false;
    StartListThread(first);
  }
  FireNotify(OnListBuilt);
}

void TFtdiUSB::ListChanged() {
  if (Destroying()) return;
  FireNotify(OnDeviceListChange);
  if (!afterCreateFired_) {
    afterCreateFired_ = true;
    FireNotify(OnDevListAfterCreate);
  }
}

}  // namespace quorvel
