#include "usb/builtin_provider.h"

// The kernel's termios2 (for reading the driver's rate) clashes with the C
// library's <termios.h>: this file uses the kernel's definitions only.
#include <asm/termbits.h>
#include <errno.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "run/line_settings.h"
#include "serial/serial_port_io.h"
#include "usb/udev_ftdi.h"

namespace quorvel {
namespace {

using namespace d2xx;
namespace err = d2xx_error;

constexpr BOOL kTrue = 1;
constexpr BOOL kFalse = 0;
// The driver's latency timer when nothing tells otherwise.
constexpr int kDefaultLatencyMs = 16;
// Communication error bits of the error word.
constexpr DWORD CE_FRAME = 0x0008;

// One open converter. The descriptors and the names are set at open and
// never change; the rest is guarded by `mutex` or atomic.
struct Handle {
  int fd = -1;
  int waitWake = -1;    // eventfd: ends a WaitCommEvent (SetCommMask)
  int writeAbort = -1;  // eventfd: ends a waiting WriteFile (PurgeComm)
  int latencyMs = kDefaultLatencyMs;

  std::atomic<ULONG> mask{0};
  // Counts SetCommMask calls: a wait ends for a call made while it waited,
  // not for one made before it began.
  std::atomic<uint64_t> maskCalls{0};
  std::atomic<DWORD> lastError{err::kNone};

  std::mutex mutex;
  PortDriverChanges changes;
  FTDCB dcb{};
  FTTIMEOUTS timeouts{};
  DWORD readQueue = 0;
  DWORD writeQueue = 0;
  // A byte taken from the terminal to tell a hang-up from a readable byte.
  bool held = false;
  uint8_t heldByte = 0;
  // The driver's line-error count at the last EV_ERR and the last
  // ClearCommError.
  uint64_t errorsAtEvent = 0;
  uint64_t errorsAtClear = 0;
};

// The open handles: a handle the link passes is looked up here first, so a
// stale or foreign pointer is refused instead of used.
std::mutex gHandlesMutex;
std::set<Handle*> gHandles;
// Why the last FT_W32_CreateFile failed.
std::atomic<DWORD> gOpenError{err::kNone};

Handle* Find(FT_HANDLE raw) {
  std::lock_guard lock(gHandlesMutex);
  auto* handle = static_cast<Handle*>(raw);
  return gHandles.count(handle) != 0 ? handle : nullptr;
}

BOOL Fail(Handle* handle, DWORD error) {
  handle->lastError = error;
  return kFalse;
}

// Adds to an eventfd counter: wakes whoever polls it.
void Signal(int eventFd) {
  const uint64_t one = 1;
  ssize_t n;
  do {
    n = write(eventFd, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
}

void Drain(int eventFd) {
  uint64_t count = 0;
  ssize_t n;
  do {
    n = read(eventFd, &count, sizeof count);
  } while (n < 0 && errno == EINTR);
}

uint32_t WaitingBytes(int fd) {
  int count = 0;
  if (ioctl(fd, FIONREAD, &count) != 0 || count < 0) return 0;
  return static_cast<uint32_t>(count);
}

uint64_t LineErrors(int fd) {
  uint64_t count = 0;
  return ReadLineErrorCount(fd, &count) ? count : 0;
}

DWORD ErrorOfOpen(PortOpenError error) {
  switch (error) {
    case PortOpenError::NotFound:
      return err::kFileNotFound;
    case PortOpenError::AccessDenied:
      return err::kAccessDenied;
    case PortOpenError::Busy:
      return err::kSharingViolation;
    case PortOpenError::NotTerminal:
      return err::kNotSupported;
    default:
      return err::kGeneralFailure;
  }
}

// Lowers the converter's latency timer to 1 ms: through the port's sysfs
// attribute, else through the low-latency flag of the terminal (which
// ftdi_sio turns into the same timer). Returns the timer in effect.
int LowerLatencyTimer(int fd, const std::string& portSysPath) {
  if (WriteLatencyTimer(portSysPath, 1)) return 1;
  struct serial_struct serial {};
  if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
    serial.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &serial) == 0) {
      const int now = ReadLatencyTimer(portSysPath);
      return now < 0 ? 1 : now;
    }
  }
  const int found = ReadLatencyTimer(portSysPath);
  return found < 0 ? kDefaultLatencyMs : found;
}

// The control block of the terminal's present settings (before the link
// set any).
FTDCB DcbOfDriver(int fd) {
  FTDCB dcb{};
  dcb.DCBlength = sizeof(FTDCB);
  dcb.Flags = 1;  // binary
  dcb.BaudRate = 9600;
  dcb.ByteSize = 8;
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return dcb;
  if (tio.c_ospeed != 0) dcb.BaudRate = tio.c_ospeed;
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      dcb.ByteSize = 5;
      break;
    case CS6:
      dcb.ByteSize = 6;
      break;
    case CS7:
      dcb.ByteSize = 7;
      break;
    default:
      dcb.ByteSize = 8;
      break;
  }
  if (tio.c_cflag & PARENB) {
    const bool odd = (tio.c_cflag & PARODD) != 0;
    dcb.Parity = (tio.c_cflag & CMSPAR) ? (odd ? 3 : 4) : (odd ? 1 : 2);
  }
  dcb.StopBits = (tio.c_cflag & CSTOPB) ? (dcb.ByteSize == 5 ? 1 : 2) : 0;
  return dcb;
}

// The line settings of a control block; false for what the line has no
// setting for (an unlisted rate, a byte size outside 5..8).
bool LineOfDcb(const FTDCB& dcb, LineSettings* line) {
  bool rateFound = false;
  for (uint8_t ordinal = 0; ordinal < kBaudRateCount; ++ordinal) {
    if (BaudRateValue(ordinal) == dcb.BaudRate) {
      line->Baud = ordinal;
      rateFound = true;
      break;
    }
  }
  if (!rateFound || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity >= kParityCount ||
      dcb.StopBits >= kStopBitsCount) {
    return false;
  }
  line->DataBits = static_cast<uint8_t>(dcb.ByteSize - 4);
  line->Parity = dcb.Parity;
  line->StopBits = dcb.StopBits;
  return true;
}

// ---- The functions of the table ----

// D2XX lists the devices as they were at FT_CreateDeviceInfoList.
std::mutex gListMutex;
std::vector<FtdiTtyDevice> gList;

FT_STATUS BuiltInCreateDeviceInfoList(DWORD* numDevs) {
  if (numDevs == nullptr) return FT_INVALID_PARAMETER;
  std::vector<FtdiTtyDevice> found = EnumerateFtdiTtys();
  std::lock_guard lock(gListMutex);
  gList = std::move(found);
  *numDevs = static_cast<DWORD>(gList.size());
  return FT_OK;
}

void CopyText(char* dest, size_t size, const std::string& text) {
  const size_t n = std::min(size - 1, text.size());
  std::memcpy(dest, text.data(), n);
  std::memset(dest + n, 0, size - n);
}

FT_STATUS BuiltInGetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) {
  if (dest == nullptr || numDevs == nullptr) return FT_INVALID_PARAMETER;
  std::lock_guard lock(gListMutex);
  for (size_t i = 0; i < gList.size(); ++i) {
    const FtdiTtyDevice& device = gList[i];
    FT_DEVICE_LIST_INFO_NODE& node = dest[i];
    node.Flags = device.Opened ? FT_FLAGS_OPENED : 0;
    node.Type = device.Type;
    node.ID = device.Id;
    node.LocId = device.LocId;
    CopyText(node.SerialNumber, sizeof node.SerialNumber, device.SerialNumber);
    CopyText(node.Description, sizeof node.Description, device.Description);
    node.ftHandle = nullptr;
  }
  *numDevs = static_cast<DWORD>(gList.size());
  return FT_OK;
}

FT_HANDLE BuiltInCreateFile(const char* name, DWORD /*access*/, DWORD /*shareMode*/,
                            void* /*security*/, DWORD /*create*/, DWORD attrsAndFlags,
                            void* /*templateFile*/) {
  if ((attrsAndFlags & FT_OPEN_BY_LOCATION) == 0) {
    gOpenError = err::kInvalidParameter;
    return InvalidHandle();
  }
  const auto location = static_cast<DWORD>(reinterpret_cast<uintptr_t>(name));
  std::string devNode;
  std::string portSysPath;
  for (const FtdiTtyDevice& device : EnumerateFtdiTtys()) {
    if (device.LocId == location) {
      devNode = device.DevNode;
      portSysPath = device.PortSysPath;
      break;
    }
  }
  if (devNode.empty()) {
    gOpenError = err::kFileNotFound;
    return InvalidHandle();
  }
  // The same exclusive lock as the serial link: a converter that another
  // process (or a serial link of this one) holds is refused.
  const PortOpenResult opened = OpenPortDevice(devNode);
  if (opened.fd < 0) {
    gOpenError = ErrorOfOpen(opened.error);
    return InvalidHandle();
  }
  auto* handle = new Handle;
  handle->fd = opened.fd;
  handle->waitWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  handle->writeAbort = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (handle->waitWake < 0 || handle->writeAbort < 0) {
    if (handle->waitWake >= 0) close(handle->waitWake);
    if (handle->writeAbort >= 0) close(handle->writeAbort);
    ClosePortDevice(opened.fd, handle->changes);
    delete handle;
    gOpenError = err::kGeneralFailure;
    return InvalidHandle();
  }
  handle->latencyMs = LowerLatencyTimer(opened.fd, portSysPath);
  handle->dcb = DcbOfDriver(opened.fd);
  handle->errorsAtEvent = handle->errorsAtClear = LineErrors(opened.fd);
  {
    std::lock_guard lock(gHandlesMutex);
    gHandles.insert(handle);
  }
  gOpenError = err::kNone;
  return handle;
}

BOOL BuiltInCloseHandle(FT_HANDLE raw) {
  Handle* handle = nullptr;
  {
    std::lock_guard lock(gHandlesMutex);
    auto it = gHandles.find(static_cast<Handle*>(raw));
    if (it == gHandles.end()) return kFalse;
    handle = *it;
    gHandles.erase(it);
  }
  ClosePortDevice(handle->fd, handle->changes);
  close(handle->waitWake);
  close(handle->writeAbort);
  delete handle;
  return kTrue;
}

BOOL BuiltInReadFile(FT_HANDLE raw, void* buffer, DWORD size, DWORD* done,
                     LPOVERLAPPED /*overlapped*/) {
  Handle* handle = Find(raw);
  if (handle == nullptr) return kFalse;
  if (done == nullptr || (buffer == nullptr && size > 0)) {
    return Fail(handle, err::kInvalidParameter);
  }
  *done = 0;
  auto* out = static_cast<uint8_t*>(buffer);
  DWORD got = 0;
  {
    std::lock_guard lock(handle->mutex);
    if (handle->held && size > 0) {
      out[got++] = handle->heldByte;
      handle->held = false;
    }
  }
  // Reads never wait: the link asks only for bytes it knows are there.
  while (got < size) {
    const ssize_t n = read(handle->fd, out + got, size - got);
    if (n > 0) {
      got += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    // End of file or an error: the converter is gone. Bytes read before
    // still count.
    *done = got;
    if (got > 0) return kTrue;
    return Fail(handle, err::kDeviceNotConnected);
  }
  *done = got;
  return kTrue;
}

BOOL BuiltInWriteFile(FT_HANDLE raw, void* buffer, DWORD size, DWORD* done,
                      LPOVERLAPPED /*overlapped*/) {
  Handle* handle = Find(raw);
  if (handle == nullptr) return kFalse;
  if (done == nullptr || (buffer == nullptr && size > 0)) {
    return Fail(handle, err::kInvalidParameter);
  }
  *done = 0;
  // A purge from before this write does not end it.
  Drain(handle->writeAbort);
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  DWORD sent = 0;
  while (sent < size) {
    const ssize_t n = write(handle->fd, bytes + sent, size - sent);
    if (n > 0) {
      sent += static_cast<DWORD>(n);
      *done = sent;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return Fail(handle, err::kDeviceNotConnected);
    // The driver's queue is full: wait until it takes more, the converter
    // goes away or a purge ends the write.
    pollfd fds[2] = {{handle->fd, POLLOUT, 0}, {handle->writeAbort, POLLIN, 0}};
    const int ready = poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Fail(handle, err::kGeneralFailure);
    if (fds[1].revents & POLLIN) {
      Drain(handle->writeAbort);
      return Fail(handle, err::kOperationAborted);
    }
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      return Fail(handle, err::kDeviceNotConnected);
    }
  }
  return kTrue;
}

BOOL BuiltInGetOverlappedResult(FT_HANDLE raw, LPOVERLAPPED /*overlapped*/, DWORD* done,
                                BOOL /*wait*/) {
  // Every operation completes before it returns; nothing is ever pending.
  if (Find(raw) == nullptr) return kFalse;
  if (done != nullptr) *done = 0;
  return kTrue;
}

DWORD BuiltInGetLastError(FT_HANDLE raw) {
  Handle* handle = Find(raw);
  return handle != nullptr ? handle->lastError.load() : gOpenError.load();
}

BOOL BuiltInClearCommBreak(FT_HANDLE raw) {
  Handle* handle = Find(raw);
  if (handle == nullptr) return kFalse;
  // A pseudo-terminal has no break to clear; that is no failure.
  (void)ioctl(handle->fd, TIOCCBRK);
  return kTrue;
}

BOOL BuiltInClearCommError(FT_HANDLE raw, DWORD* errors, FTCOMSTAT* status) {
  Handle* handle = Find(raw);
  if (handle == nullptr) return kFalse;
  const uint64_t count = LineErrors(handle->fd);
  uint32_t waiting = WaitingBytes(handle->fd);
  std::lock_guard lock(handle->mutex);
  if (handle->held) ++waiting;
  if (errors != nullptr) {
    // The driver's counters tell that errors happened, not of which kind.
    *errors = count > handle->errorsAtClear ? CE_FRAME : 0;
  }
  handle->errorsAtClear = count;
  if (status != nullptr) {
    status->Flags = 0;
    status->cbInQue = waiting;
    status->cbOutQue = 0;
  }
  return kTrue;
}

BOOL BuiltInGetCommState(FT_HANDLE raw, FTDCB* dcb) {
  Handle* handle = Find(raw);
  if (handle == nullptr) return kFalse;
  if (dcb == nullptr) return Fail(handle, err::kInvalidParameter);
  std::lock_guard lock(handle->mutex);
  *dcb = handle->dcb;
  return kTrue;
}

BOOL BuiltInSetCommState(FT_HANDLE raw, FTDCB* dcb) {
  Handle* handle = Find(raw);
  if (handle == nullptr) return kFalse;
  LineSettings line;
  if (dcb == nullptr || !LineOfDcb(*dcb, &line)) return Fail(handle, err::kInvalidParameter);
  std::lock_guard lock(handle->mutex);
  // The link turns every flow control and modem line off (its control
  // block's flags are binary mode and abort on error only).
  if (!ConfigurePort(handle->fd, line, PortControlFlags{}, &handle->changes)) {
    return Fail(handle, err::kInvalidParameter);
  }
  // A pseudo-terminal reports 8 data bits without parity whatever was set:
  // the block reads back as it was set.
  handle->dcb = *dcb;
  return kTrue;
}

BOOL BuiltInGetCommTimeouts(FT_HANDLE raw, FTTIMEOUTS* timeouts) {
  Handle* handle = Find(raw);
  if (handle == nullptr) return kFalse;
  if (timeouts == nullptr) return Fail(handle, err::kInvalidParameter);
  std::lock_guard lock(handle->mutex);
  *timeouts = handle->timeouts;
  return kTrue;
}

BOOL BuiltInSetCommTimeouts(FT_HANDLE raw, FTTIMEOUTS* timeouts) {
  Handle* handle = Find(raw);
  if (handle == nullptr) return kFalse;
  if (timeouts == nullptr) return Fail(handle, err::kInvalidParameter);
  // Kept to be read back; reads return at once whatever they say.
  std::lock_guard lock(handle->mutex);
  handle->timeouts = *timeouts;
  return kTrue;
}

BOOL BuiltInSetupComm(FT_HANDLE raw, DWORD readSize, DWORD writeSize) {
  Handle* handle = Find(raw);
  if (handle == nullptr) return kFalse;
  // The kernel's queues have their own sizes.
  std::lock_guard lock(handle->mutex);
  handle->readQueue = readSize;
  handle->writeQueue = writeSize;
  return kTrue;
}

BOOL BuiltInSetCommMask(FT_HANDLE raw, ULONG mask) {
  Handle* handle = Find(raw);
  if (handle == nullptr) return kFalse;
  handle->mask = mask;
  handle->maskCalls.fetch_add(1);
  Signal(handle->waitWake);
  return kTrue;
}

// Whether the terminal has hung up, when poll reported it readable with no
// byte counted: a byte that arrived meanwhile is held for the next read.
bool HungUpOrHold(Handle* handle) {
  uint8_t byte = 0;
  ssize_t n;
  do {
    n = read(handle->fd, &byte, 1);
  } while (n < 0 && errno == EINTR);
  if (n == 1) {
    std::lock_guard lock(handle->mutex);
    handle->held = true;
    handle->heldByte = byte;
    return false;
  }
  return n == 0 || errno != EAGAIN;
}

BOOL BuiltInWaitCommEvent(FT_HANDLE raw, ULONG* event, LPOVERLAPPED /*overlapped*/) {
  Handle* handle = Find(raw);
  if (handle == nullptr) return kFalse;
  if (event == nullptr) return Fail(handle, err::kInvalidParameter);
  *event = 0;
  const uint64_t callsAtStart = handle->maskCalls.load();
  for (;;) {
    const ULONG mask = handle->mask.load();
    ULONG happened = 0;
    {
      const uint64_t errors = LineErrors(handle->fd);
      std::lock_guard lock(handle->mutex);
      if ((mask & EV_RXCHAR) && handle->held) happened |= EV_RXCHAR;
      if ((mask & EV_ERR) && errors > handle->errorsAtEvent) happened |= EV_ERR;
      handle->errorsAtEvent = errors;
    }
    if ((mask & EV_RXCHAR) && WaitingBytes(handle->fd) > 0) happened |= EV_RXCHAR;
    if (happened != 0) {
      *event = happened;
      return kTrue;
    }
    // Readability is watched only when EV_RXCHAR is asked for (bytes left
    // waiting would wake the poll again and again otherwise); a line error
    // arrives with its character, so EV_ERR is seen then. A hang-up is
    // reported whatever was asked for.
    const short wanted = (mask & EV_RXCHAR) ? POLLIN : 0;
    pollfd fds[2] = {{handle->fd, wanted, 0}, {handle->waitWake, POLLIN, 0}};
    const int ready = poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Fail(handle, err::kGeneralFailure);
    if (fds[1].revents & POLLIN) {
      Drain(handle->waitWake);
      // A SetCommMask made while this wait ran ends it; one made before
      // it began has only left its wake-up behind.
      if (handle->maskCalls.load() != callsAtStart) return kTrue;
    }
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      return Fail(handle, err::kDeviceNotConnected);
    }
    if ((fds[0].revents & POLLIN) && WaitingBytes(handle->fd) == 0 && HungUpOrHold(handle)) {
      return Fail(handle, err::kDeviceNotConnected);
    }
  }
}

BOOL BuiltInPurgeComm(FT_HANDLE raw, DWORD mask) {
  Handle* handle = Find(raw);
  if (handle == nullptr) return kFalse;
  if (mask & (PURGE_RXABORT | PURGE_RXCLEAR)) {
    DiscardInput(handle->fd);
    std::lock_guard lock(handle->mutex);
    handle->held = false;
  }
  if (mask & PURGE_TXABORT) Signal(handle->writeAbort);
  if (mask & (PURGE_TXABORT | PURGE_TXCLEAR)) DiscardOutput(handle->fd);
  return kTrue;
}

}  // namespace

d2xx::Functions BuiltInD2xxFunctions() {
  d2xx::Functions table;
  table.FT_CreateDeviceInfoList = BuiltInCreateDeviceInfoList;
  table.FT_GetDeviceInfoList = BuiltInGetDeviceInfoList;
  table.FT_W32_CreateFile = BuiltInCreateFile;
  table.FT_W32_CloseHandle = BuiltInCloseHandle;
  table.FT_W32_ReadFile = BuiltInReadFile;
  table.FT_W32_WriteFile = BuiltInWriteFile;
  table.FT_W32_GetOverlappedResult = BuiltInGetOverlappedResult;
  table.FT_W32_GetLastError = BuiltInGetLastError;
  table.FT_W32_ClearCommBreak = BuiltInClearCommBreak;
  table.FT_W32_ClearCommError = BuiltInClearCommError;
  table.FT_W32_GetCommState = BuiltInGetCommState;
  table.FT_W32_SetCommState = BuiltInSetCommState;
  table.FT_W32_GetCommTimeouts = BuiltInGetCommTimeouts;
  table.FT_W32_SetCommTimeouts = BuiltInSetCommTimeouts;
  table.FT_W32_SetupComm = BuiltInSetupComm;
  table.FT_W32_SetCommMask = BuiltInSetCommMask;
  table.FT_W32_WaitCommEvent = BuiltInWaitCommEvent;
  table.FT_W32_PurgeComm = BuiltInPurgeComm;
  return table;
}

int BuiltInLatencyTimerMs(d2xx::FT_HANDLE raw) {
  Handle* handle = Find(raw);
  return handle != nullptr ? handle->latencyMs : -1;
}

}  // namespace quorvel
