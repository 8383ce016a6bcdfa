#include "usb/udev_ftdi.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#if QUORVEL_HAVE_UDEV
#include <libudev.h>
#endif

namespace quorvel {
namespace {

constexpr uint16_t kFtdiVendorId = 0x0403;

// The number a sysfs attribute holds, in the given base; -1 when the
// attribute is missing or holds no number.
int64_t ParseAttribute(const char* text, int base) {
  if (text == nullptr) return -1;
  std::string_view view(text);
  while (!view.empty() && (view.back() == '\n' || view.back() == ' ')) view.remove_suffix(1);
  int64_t value = 0;
  const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value, base);
  if (error != std::errc() || end != view.data() + view.size() || view.empty()) return -1;
  return value;
}

std::string TextOf(const char* text) {
  return text == nullptr ? std::string() : std::string(text);
}

// ttyUSB2 before ttyUSB10: shorter names first, then by text.
bool NodeOrder(const FtdiTtyDevice& a, const FtdiTtyDevice& b) {
  if (a.DevNode.size() != b.DevNode.size()) return a.DevNode.size() < b.DevNode.size();
  return a.DevNode < b.DevNode;
}

uint32_t HashLocation(unsigned busNumber, std::string_view portPath, unsigned interfaceNumber) {
  std::string key = std::to_string(busNumber) + "-" + std::string(portPath) + ":" +
                    std::to_string(interfaceNumber);
  uint32_t hash = 2166136261u;  // FNV-1a
  for (const char c : key) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 16777619u;
  }
  return hash | 0x80000000u;
}

std::string ReadProcLocks() {
  std::ifstream file("/proc/locks");
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Whether some process holds an flock or POSIX lock on the device node.
// The terminal is not opened to find out: opening and closing a terminal
// raises and lowers DTR (and RTS), which resets many instruments, and an
// open would take the place of the process that is about to use it. The
// kernel's lock table tells the same without touching the device.
bool NodeLocked(const std::string& devNode, std::string_view locks) {
  struct stat st {};
  if (stat(devNode.c_str(), &st) != 0) return false;
  return ProcLocksHold(locks, major(st.st_dev), minor(st.st_dev), st.st_ino);
}

}  // namespace

uint32_t FtdiChipType(uint16_t bcdDevice, bool hasSerialNumber) {
  switch (bcdDevice) {
    case 0x0200:
      return hasSerialNumber ? 1 /* AM */ : 0 /* BM */;
    case 0x0400:
      return 0;  // BM
    case 0x0500:
      return 4;  // 2232C
    case 0x0600:
      return 5;  // 232R
    case 0x0700:
      return 6;  // 2232H
    case 0x0800:
      return 7;  // 4232H
    case 0x0900:
      return 8;  // 232H
    case 0x1000:
      return 9;  // X series
    default:
      return 3;  // unknown
  }
}

uint32_t FtdiLocationId(unsigned busNumber, std::string_view portPath, unsigned interfaceNumber) {
  if (busNumber == 0 || portPath.empty()) return 0;
  std::vector<unsigned> ports;
  size_t start = 0;
  while (start <= portPath.size()) {
    size_t dot = portPath.find('.', start);
    if (dot == std::string_view::npos) dot = portPath.size();
    unsigned port = 0;
    const char* first = portPath.data() + start;
    const char* last = portPath.data() + dot;
    const auto [end, error] = std::from_chars(first, last, port);
    if (error != std::errc() || end != last || first == last) return 0;
    ports.push_back(port);
    start = dot + 1;
  }
  const bool fits =
      busNumber <= 0x7F && ports.size() <= 5 && interfaceNumber <= 0xF &&
      std::all_of(ports.begin(), ports.end(), [](unsigned p) { return p >= 1 && p <= 0xF; });
  if (!fits) return HashLocation(busNumber, portPath, interfaceNumber);
  uint32_t id = static_cast<uint32_t>(busNumber) << 24;
  int shift = 20;
  for (const unsigned port : ports) {
    id |= static_cast<uint32_t>(port) << shift;
    shift -= 4;
  }
  return id | interfaceNumber;
}

bool ProcLocksHold(std::string_view locks, unsigned devMajor, unsigned devMinor, uint64_t inode) {
  // A line: "1: FLOCK  ADVISORY  WRITE 1234 00:05:3 0 EOF" (a waiting lock
  // has "->" after the number); the file is "major:minor:inode", the
  // device numbers in hexadecimal.
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", devMajor, devMinor,
                static_cast<unsigned long long>(inode));
  size_t start = 0;
  while (start < locks.size()) {
    size_t end = locks.find('\n', start);
    if (end == std::string_view::npos) end = locks.size();
    std::istringstream line{std::string(locks.substr(start, end - start))};
    std::string word;
    bool waiting = false;
    while (line >> word) {
      if (word == "->") waiting = true;
      if (word == wanted && !waiting) return true;
    }
    start = end + 1;
  }
  return false;
}

int ReadLatencyTimer(const std::string& portSysPath) {
  if (portSysPath.empty()) return -1;
  std::ifstream file(portSysPath + "/latency_timer");
  std::string text;
  if (!std::getline(file, text)) return -1;
  const int64_t value = ParseAttribute(text.c_str(), 10);
  return value < 0 || value > 255 ? -1 : static_cast<int>(value);
}

#if QUORVEL_HAVE_UDEV

bool WriteLatencyTimer(const std::string& portSysPath, int ms) {
  if (portSysPath.empty()) return false;
  udev* context = udev_new();
  if (context == nullptr) return false;
  bool written = false;
  if (udev_device* port = udev_device_new_from_syspath(context, portSysPath.c_str())) {
    std::string value = std::to_string(ms);
    written = udev_device_set_sysattr_value(port, "latency_timer", value.data()) >= 0;
    udev_device_unref(port);
  }
  udev_unref(context);
  // The driver may refuse a value silently; what counts is what it holds.
  return written && ReadLatencyTimer(portSysPath) == ms;
}

std::vector<FtdiTtyDevice> EnumerateFtdiTtys() {
  std::vector<FtdiTtyDevice> devices;
  udev* context = udev_new();
  if (context == nullptr) return devices;
  udev_enumerate* enumerate = udev_enumerate_new(context);
  if (enumerate == nullptr) {
    udev_unref(context);
    return devices;
  }
  udev_enumerate_add_match_subsystem(enumerate, "tty");
  udev_enumerate_scan_devices(enumerate);
  const std::string locks = ReadProcLocks();

  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
    udev_device* tty = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
    if (tty == nullptr) continue;
    // The parents belong to the child and go with it.
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    const char* node = udev_device_get_devnode(tty);
    if (usb == nullptr || node == nullptr ||
        ParseAttribute(udev_device_get_sysattr_value(usb, "idVendor"), 16) != kFtdiVendorId) {
      udev_device_unref(tty);
      continue;
    }
    FtdiTtyDevice device;
    device.DevNode = node;
    device.Description = TextOf(udev_device_get_sysattr_value(usb, "product"));
    device.SerialNumber = TextOf(udev_device_get_sysattr_value(usb, "serial"));
    const int64_t bcd = ParseAttribute(udev_device_get_sysattr_value(usb, "bcdDevice"), 16);
    device.Type =
        bcd < 0 ? 3 : FtdiChipType(static_cast<uint16_t>(bcd), !device.SerialNumber.empty());
    const int64_t product = ParseAttribute(udev_device_get_sysattr_value(usb, "idProduct"), 16);
    device.Id = (uint32_t{kFtdiVendorId} << 16) | static_cast<uint32_t>(product < 0 ? 0 : product);

    int64_t interfaceNumber = 0;
    if (udev_device* usbInterface =
            udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_interface")) {
      interfaceNumber =
          ParseAttribute(udev_device_get_sysattr_value(usbInterface, "bInterfaceNumber"), 16);
    }
    const int64_t bus = ParseAttribute(udev_device_get_sysattr_value(usb, "busnum"), 10);
    const char* portPath = udev_device_get_sysattr_value(usb, "devpath");
    device.LocId = FtdiLocationId(bus < 0 ? 0 : static_cast<unsigned>(bus),
                                  portPath == nullptr ? "" : portPath,
                                  interfaceNumber < 0 ? 0 : static_cast<unsigned>(interfaceNumber));
    if (udev_device* port =
            udev_device_get_parent_with_subsystem_devtype(tty, "usb-serial", nullptr)) {
      device.PortSysPath = TextOf(udev_device_get_syspath(port));
    }
    device.Opened = NodeLocked(device.DevNode, locks);
    udev_device_unref(tty);
    // A converter the kernel reports without bus or port cannot be opened
    // by location.
    if (device.LocId != 0) devices.push_back(std::move(device));
  }
  udev_enumerate_unref(enumerate);
  udev_unref(context);
  std::sort(devices.begin(), devices.end(), NodeOrder);
  return devices;
}

#else

bool WriteLatencyTimer(const std::string&, int) {
  return false;
}

std::vector<FtdiTtyDevice> EnumerateFtdiTtys() {
  return {};
}

#endif

}  // namespace quorvel
