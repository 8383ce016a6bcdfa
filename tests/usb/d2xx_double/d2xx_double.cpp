// A stand-in for the vendor's D2XX library, loaded by the USB tests through
// QUORVEL_D2XX_LIBRARY. Its devices are pseudo-terminals named in the
// environment, read again at every FT_CreateDeviceInfoList:
//
//   QUORVEL_D2XX_DOUBLE_DEVICES="locid,type,serial,description,path;..."
//
// locid and type in decimal (or hexadecimal with 0x); a backslash makes the
// next character plain, so "\," "\;" and "\\" put a comma, a semicolon or a
// backslash into a field. An empty path lists a device that cannot be opened.
//
//   QUORVEL_D2XX_DOUBLE_FAIL="CreateDeviceInfoList,GetDeviceInfoList"
//
// makes the named functions fail (either name alone, too).
//
// Opening by location opens the device's path non-blocking in raw mode and
// locks it (flock); a device whose path some process has locked is listed
// as opened and cannot be opened again. Every call completes before it
// returns; FT_W32_WaitCommEvent blocks until bytes wait, until
// FT_W32_SetCommMask is called on the handle (event 0) or the handle is
// closed, or until the far end hangs up (failure).
//
// Built twice: with D2XX_DOUBLE_WITHOUT_CREATEFILE the library lacks
// FT_W32_CreateFile.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "usb/d2xx_api.h"

using namespace quorvel::d2xx;

namespace {

// The error of the last FT_W32_CreateFile that failed (0 after one that
// worked).
thread_local DWORD createError = 0;

struct Device {
  DWORD location = 0;
  ULONG type = FT_DEVICE_UNKNOWN;
  std::string serial;
  std::string description;
  std::string path;
};

// Fields of one entry, with backslash escapes resolved.
std::vector<std::vector<std::string>> SplitDeviceList(std::string_view text) {
  std::vector<std::vector<std::string>> entries(1, std::vector<std::string>(1));
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      entries.back().back() += text[++i];
    } else if (c == ',') {
      entries.back().emplace_back();
    } else if (c == ';') {
      entries.emplace_back(1);
    } else {
      entries.back().back() += c;
    }
  }
  return entries;
}

std::optional<unsigned long> ParseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value > UINT32_MAX) return std::nullopt;
  return value;
}

// The devices named in the environment; malformed entries are left out.
std::vector<Device> DevicesFromEnvironment() {
  std::vector<Device> devices;
  const char* list = std::getenv("QUORVEL_D2XX_DOUBLE_DEVICES");
  if (list == nullptr || *list == '\0') return devices;
  for (std::vector<std::string>& fields : SplitDeviceList(list)) {
    if (fields.size() != 5) continue;
    const std::optional<unsigned long> location = ParseNumber(fields[0]);
    const std::optional<unsigned long> type = ParseNumber(fields[1]);
    if (!location || !type) continue;
    devices.push_back({static_cast<DWORD>(*location), static_cast<ULONG>(*type),
                       std::move(fields[2]), std::move(fields[3]), std::move(fields[4])});
  }
  return devices;
}

bool Failing(std::string_view function) {
  const char* list = std::getenv("QUORVEL_D2XX_DOUBLE_FAIL");
  if (list == nullptr) return false;
  std::string_view rest = list;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    if (rest.substr(0, comma) == function) return true;
    rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
  }
  return false;
}

// True when some open file of any process holds the path's lock.
bool HeldElsewhere(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
  close(fd);
  return held;
}

void CopyField(char* dest, size_t size, const std::string& text) {
  std::memset(dest, 0, size);
  std::memcpy(dest, text.data(), std::min(text.size(), size - 1));
}

// One open device. The descriptors live as long as the port object; a call
// in progress keeps it alive while CloseHandle runs.
struct Port {
  int fd = -1;
  int wake = -1;  // eventfd: SetCommMask or CloseHandle end a wait
  std::mutex mutex;
  FTDCB dcb{};
  FTTIMEOUTS timeouts{};
  ULONG mask = 0;
  uint64_t maskChanges = 0;
  bool closed = false;
  DWORD lastError = 0;
  DWORD lastDone = 0;

  ~Port() {
    if (fd >= 0) close(fd);
    if (wake >= 0) close(wake);
  }
  void Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake, &one, sizeof one);
  }
  void DrainWake() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = read(wake, &count, sizeof count);
  }
  void Fail(DWORD error) {
    std::lock_guard lock(mutex);
    lastError = error;
  }
};

struct Registry {
  std::mutex mutex;
  std::vector<Device> listed;  // the list of the last FT_CreateDeviceInfoList
  std::map<uintptr_t, std::shared_ptr<Port>> ports;
  uintptr_t nextHandle = 1;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // outlives every caller
  return *registry;
}

std::shared_ptr<Port> Find(FT_HANDLE handle) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  const auto found = registry.ports.find(reinterpret_cast<uintptr_t>(handle));
  return found == registry.ports.end() ? nullptr : found->second;
}

void MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return;
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
}

constexpr BOOL kTrue = 1;
constexpr BOOL kFalse = 0;

}  // namespace

#define D2XX_EXPORT extern "C" __attribute__((visibility("default")))

D2XX_EXPORT FT_STATUS FT_CreateDeviceInfoList(DWORD* numDevs) {
  if (numDevs == nullptr) return FT_INVALID_PARAMETER;
  if (Failing("CreateDeviceInfoList")) return FT_IO_ERROR;
  std::vector<Device> devices = DevicesFromEnvironment();
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  registry.listed = std::move(devices);
  *numDevs = static_cast<DWORD>(registry.listed.size());
  return FT_OK;
}

D2XX_EXPORT FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) {
  if (dest == nullptr || numDevs == nullptr) return FT_INVALID_PARAMETER;
  if (Failing("GetDeviceInfoList")) return FT_IO_ERROR;
  std::vector<Device> devices;
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    devices = registry.listed;
  }
  for (size_t i = 0; i < devices.size(); ++i) {
    const Device& device = devices[i];
    FT_DEVICE_LIST_INFO_NODE& node = dest[i];
    node.Flags = !device.path.empty() && HeldElsewhere(device.path) ? FT_FLAGS_OPENED : 0;
    node.Type = device.type;
    node.ID = 0x04036001;
    node.LocId = device.location;
    CopyField(node.SerialNumber, sizeof node.SerialNumber, device.serial);
    CopyField(node.Description, sizeof node.Description, device.description);
    node.ftHandle = nullptr;
  }
  *numDevs = static_cast<DWORD>(devices.size());
  return FT_OK;
}

#ifndef D2XX_DOUBLE_WITHOUT_CREATEFILE
D2XX_EXPORT FT_HANDLE FT_W32_CreateFile(const char* name, DWORD, DWORD, void*, DWORD,
                                        DWORD attrsAndFlags, void*) {
  if ((attrsAndFlags & FT_OPEN_BY_LOCATION) == 0) return InvalidHandle();
  const auto location = static_cast<DWORD>(reinterpret_cast<uintptr_t>(name));
  std::string path;
  for (const Device& device : DevicesFromEnvironment()) {
    if (device.location == location) path = device.path;
  }
  // As the vendor's library, the error of a failed open is asked for with
  // the invalid handle: the system's error numbers of the same meaning.
  if (path.empty()) {
    createError = 2;  // file not found
    return InvalidHandle();
  }
  auto port = std::make_shared<Port>();
  port->fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (port->fd < 0) {
    createError = errno == EACCES ? 5 : 31;  // access denied, general failure
    return InvalidHandle();
  }
  if (flock(port->fd, LOCK_EX | LOCK_NB) != 0) {
    createError = 32;  // sharing violation: another process holds it
    return InvalidHandle();
  }
  createError = 0;
  port->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (port->wake < 0) return InvalidHandle();
  // The converter has no line discipline: bytes pass as they are.
  MakeRaw(port->fd);
  port->dcb.DCBlength = sizeof(FTDCB);
  port->dcb.BaudRate = 9600;
  port->dcb.ByteSize = 8;
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  const uintptr_t handle = registry.nextHandle++;
  registry.ports.emplace(handle, std::move(port));
  return reinterpret_cast<FT_HANDLE>(handle);
}
#endif

D2XX_EXPORT BOOL FT_W32_CloseHandle(FT_HANDLE handle) {
  std::shared_ptr<Port> port;
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    const auto found = registry.ports.find(reinterpret_cast<uintptr_t>(handle));
    if (found == registry.ports.end()) return kFalse;
    port = std::move(found->second);
    registry.ports.erase(found);
  }
  {
    std::lock_guard lock(port->mutex);
    port->closed = true;
  }
  port->Wake();
  return kTrue;
}

D2XX_EXPORT BOOL FT_W32_ReadFile(FT_HANDLE handle, void* buffer, DWORD size, DWORD* done,
                                 LPOVERLAPPED) {
  const std::shared_ptr<Port> port = Find(handle);
  if (port == nullptr || done == nullptr || (buffer == nullptr && size > 0)) return kFalse;
  *done = 0;
  const ssize_t got = size == 0 ? 0 : read(port->fd, buffer, size);
  if (got < 0 && errno != EAGAIN) {
    port->Fail(FT_IO_ERROR);
    return kFalse;
  }
  *done = got < 0 ? 0 : static_cast<DWORD>(got);
  std::lock_guard lock(port->mutex);
  port->lastDone = *done;
  return kTrue;
}

D2XX_EXPORT BOOL FT_W32_WriteFile(FT_HANDLE handle, void* buffer, DWORD size, DWORD* done,
                                  LPOVERLAPPED) {
  const std::shared_ptr<Port> port = Find(handle);
  if (port == nullptr || done == nullptr || (buffer == nullptr && size > 0)) return kFalse;
  *done = 0;
  const auto* bytes = static_cast<const char*>(buffer);
  while (*done < size) {
    const ssize_t put = write(port->fd, bytes + *done, size - *done);
    if (put > 0) {
      *done += static_cast<DWORD>(put);
      continue;
    }
    if (put < 0 && errno != EAGAIN) {
      port->Fail(FT_IO_ERROR);
      return kFalse;
    }
    pollfd writable{port->fd, POLLOUT, 0};
    if (poll(&writable, 1, -1) < 0 && errno != EINTR) return kFalse;
  }
  std::lock_guard lock(port->mutex);
  port->lastDone = *done;
  return kTrue;
}

D2XX_EXPORT BOOL FT_W32_GetOverlappedResult(FT_HANDLE handle, LPOVERLAPPED, DWORD* done, BOOL) {
  const std::shared_ptr<Port> port = Find(handle);
  if (port == nullptr || done == nullptr) return kFalse;
  std::lock_guard lock(port->mutex);
  *done = port->lastDone;
  return kTrue;
}

D2XX_EXPORT DWORD FT_W32_GetLastError(FT_HANDLE handle) {
  if (handle == InvalidHandle()) return createError;
  const std::shared_ptr<Port> port = Find(handle);
  if (port == nullptr) return FT_INVALID_HANDLE;
  std::lock_guard lock(port->mutex);
  return port->lastError;
}

D2XX_EXPORT BOOL FT_W32_ClearCommBreak(FT_HANDLE handle) {
  return Find(handle) != nullptr ? kTrue : kFalse;
}

D2XX_EXPORT BOOL FT_W32_ClearCommError(FT_HANDLE handle, DWORD* errors, FTCOMSTAT* status) {
  const std::shared_ptr<Port> port = Find(handle);
  if (port == nullptr) return kFalse;
  if (errors != nullptr) *errors = 0;
  if (status != nullptr) {
    int waiting = 0;
    int queued = 0;
    if (ioctl(port->fd, FIONREAD, &waiting) != 0) waiting = 0;
    if (ioctl(port->fd, TIOCOUTQ, &queued) != 0) queued = 0;
    *status = FTCOMSTAT{0, static_cast<DWORD>(waiting), static_cast<DWORD>(queued)};
  }
  return kTrue;
}

D2XX_EXPORT BOOL FT_W32_GetCommState(FT_HANDLE handle, FTDCB* dcb) {
  const std::shared_ptr<Port> port = Find(handle);
  if (port == nullptr || dcb == nullptr) return kFalse;
  std::lock_guard lock(port->mutex);
  *dcb = port->dcb;
  return kTrue;
}

D2XX_EXPORT BOOL FT_W32_SetCommState(FT_HANDLE handle, FTDCB* dcb) {
  const std::shared_ptr<Port> port = Find(handle);
  if (port == nullptr || dcb == nullptr) return kFalse;
  MakeRaw(port->fd);
  std::lock_guard lock(port->mutex);
  port->dcb = *dcb;
  return kTrue;
}

D2XX_EXPORT BOOL FT_W32_GetCommTimeouts(FT_HANDLE handle, FTTIMEOUTS* timeouts) {
  const std::shared_ptr<Port> port = Find(handle);
  if (port == nullptr || timeouts == nullptr) return kFalse;
  std::lock_guard lock(port->mutex);
  *timeouts = port->timeouts;
  return kTrue;
}

D2XX_EXPORT BOOL FT_W32_SetCommTimeouts(FT_HANDLE handle, FTTIMEOUTS* timeouts) {
  const std::shared_ptr<Port> port = Find(handle);
  if (port == nullptr || timeouts == nullptr) return kFalse;
  std::lock_guard lock(port->mutex);
  port->timeouts = *timeouts;
  return kTrue;
}

D2XX_EXPORT BOOL FT_W32_SetupComm(FT_HANDLE handle, DWORD, DWORD) {
  return Find(handle) != nullptr ? kTrue : kFalse;
}

D2XX_EXPORT BOOL FT_W32_SetCommMask(FT_HANDLE handle, ULONG mask) {
  const std::shared_ptr<Port> port = Find(handle);
  if (port == nullptr) return kFalse;
  {
    std::lock_guard lock(port->mutex);
    port->mask = mask;
    ++port->maskChanges;
  }
  port->Wake();
  return kTrue;
}

D2XX_EXPORT BOOL FT_W32_WaitCommEvent(FT_HANDLE handle, ULONG* event, LPOVERLAPPED) {
  const std::shared_ptr<Port> port = Find(handle);
  if (port == nullptr || event == nullptr) return kFalse;
  *event = 0;
  // A mask change before this call does not end it: forget its wake first,
  // then note the changes seen so far.
  port->DrainWake();
  uint64_t changesAtStart = 0;
  {
    std::lock_guard lock(port->mutex);
    changesAtStart = port->maskChanges;
  }
  while (true) {
    ULONG mask = 0;
    {
      std::lock_guard lock(port->mutex);
      if (port->closed) return kFalse;
      if (port->maskChanges != changesAtStart) return kTrue;
      mask = port->mask;
    }
    int waiting = 0;
    if ((mask & EV_RXCHAR) != 0 && ioctl(port->fd, FIONREAD, &waiting) == 0 && waiting > 0) {
      *event = EV_RXCHAR;
      return kTrue;
    }
    pollfd fds[2] = {{port->fd, static_cast<short>((mask & EV_RXCHAR) != 0 ? POLLIN : 0), 0},
                     {port->wake, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      port->Fail(FT_IO_ERROR);
      return kFalse;
    }
    if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      port->Fail(FT_IO_ERROR);
      return kFalse;
    }
    if ((fds[1].revents & POLLIN) != 0) port->DrainWake();
  }
}

D2XX_EXPORT BOOL FT_W32_PurgeComm(FT_HANDLE handle, DWORD mask) {
  const std::shared_ptr<Port> port = Find(handle);
  if (port == nullptr) return kFalse;
  if ((mask & PURGE_RXCLEAR) != 0) tcflush(port->fd, TCIFLUSH);
  if ((mask & PURGE_TXCLEAR) != 0) tcflush(port->fd, TCOFLUSH);
  return kTrue;
}

// The signatures are those of the function table.
#define D2XX_SAME_SIGNATURE(name) \
  static_assert(std::is_same_v<decltype(&name), decltype(Functions::name)>, #name)
D2XX_SAME_SIGNATURE(FT_CreateDeviceInfoList);
D2XX_SAME_SIGNATURE(FT_GetDeviceInfoList);
#ifndef D2XX_DOUBLE_WITHOUT_CREATEFILE
D2XX_SAME_SIGNATURE(FT_W32_CreateFile);
#endif
D2XX_SAME_SIGNATURE(FT_W32_CloseHandle);
D2XX_SAME_SIGNATURE(FT_W32_ReadFile);
D2XX_SAME_SIGNATURE(FT_W32_WriteFile);
D2XX_SAME_SIGNATURE(FT_W32_GetOverlappedResult);
D2XX_SAME_SIGNATURE(FT_W32_GetLastError);
D2XX_SAME_SIGNATURE(FT_W32_ClearCommBreak);
D2XX_SAME_SIGNATURE(FT_W32_ClearCommError);
D2XX_SAME_SIGNATURE(FT_W32_GetCommState);
D2XX_SAME_SIGNATURE(FT_W32_SetCommState);
D2XX_SAME_SIGNATURE(FT_W32_GetCommTimeouts);
D2XX_SAME_SIGNATURE(FT_W32_SetCommTimeouts);
D2XX_SAME_SIGNATURE(FT_W32_SetupComm);
D2XX_SAME_SIGNATURE(FT_W32_SetCommMask);
D2XX_SAME_SIGNATURE(FT_W32_WaitCommEvent);
D2XX_SAME_SIGNATURE(FT_W32_PurgeComm);
