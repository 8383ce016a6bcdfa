#include "serial/port_watcher.h"

#include <cstdlib>

#include <QSocketNotifier>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

#include <unistd.h>

#if QUORVEL_HAVE_UDEV
#include <libudev.h>
#endif

namespace quorvel {

PortWatcher::PortWatcher(std::function<void()> changed, QObject* parent)
    : PortWatcher(std::move(changed), Sources{}, parent) {}

PortWatcher::PortWatcher(std::function<void()> changed, Sources sources, QObject* parent)
    : QObject(parent), changed_(std::move(changed)), sources_(std::move(sources)) {
  ++liveCount_;
  settle_.setSingleShot(true);
  settle_.setInterval(kSettleMs);
  connect(&settle_, &QTimer::timeout, this, [this] {
    if (changed_) changed_();
  });
  if (sources_.udev && StartUdev()) return;
  devices_ = LookAtDevices();
  rescan_.setInterval(sources_.rescanMs);
  connect(&rescan_, &QTimer::timeout, this, [this] { Rescan(); });
  rescan_.start();
}

PortWatcher::~PortWatcher() {
  --liveCount_;
  delete notifier_;
#if QUORVEL_HAVE_UDEV
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  if (udev_ != nullptr) udev_unref(udev_);
#endif
}

bool PortWatcher::StartUdev() {
#if QUORVEL_HAVE_UDEV
  // Without a running udev daemon the kernel's notices are never passed on
  // to "udev" monitors: a monitor would stay silent. A umockdev test bed
  // (UMOCKDEV_DIR) is its own daemon: it hands its notices to the monitors
  // of the processes that run in it.
  const bool noticesArrive =
      access("/run/udev/control", F_OK) == 0 || std::getenv("UMOCKDEV_DIR") != nullptr;
  if (!noticesArrive) return false;
  udev_ = udev_new();
  if (udev_ == nullptr) return false;
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_ == nullptr ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor_) < 0) {
    if (monitor_ != nullptr) udev_monitor_unref(monitor_);
    monitor_ = nullptr;
    udev_unref(udev_);
    udev_ = nullptr;
    return false;
  }
  notifier_ = new QSocketNotifier(udev_monitor_get_fd(monitor_), QSocketNotifier::Read);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { ReadUdevNotices(); });
  return true;
#else
  return false;
#endif
}

// A rebuild of every list that follows the ports (the USB device list
// walks the whole device tree) is worth doing only for a device that came
// or went, as udev would have told.
void PortWatcher::Rescan() {
  std::vector<std::string> devices = LookAtDevices();
  if (devices == devices_) return;
  devices_ = std::move(devices);
  if (changed_) changed_();
}

std::vector<std::string> PortWatcher::LookAtDevices() const {
  namespace fs = std::filesystem;
  std::vector<std::string> devices;
  std::error_code error;
  for (fs::directory_iterator it(sources_.ttyFolder, error), end; !error && it != end;
       it.increment(error)) {
    devices.push_back("tty " + it->path().filename().string());
  }
  for (fs::directory_iterator it(sources_.usbFolder, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.find(':') != std::string::npos) continue;  // an interface of a device listed
    std::ifstream numberFile(it->path() / "devnum");
    std::string number;
    numberFile >> number;
    devices.push_back("usb " + name + " " + number);
  }
  std::sort(devices.begin(), devices.end());
  return devices;
}

void PortWatcher::ReadUdevNotices() {
#if QUORVEL_HAVE_UDEV
  bool relevant = false;
  while (udev_device* device = udev_monitor_receive_device(monitor_)) {
    const char* action = udev_device_get_action(device);
    if (action != nullptr &&
        (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0)) {
      relevant = true;
    }
    udev_device_unref(device);
  }
  if (relevant) settle_.start();
#endif
}

}  // namespace quorvel
