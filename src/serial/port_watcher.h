// Tells the port-list service when serial devices come or go: a libudev monitor on
// the tty and usb subsystems watched by a socket notifier, or, where no udev
// daemon runs (a container), a look every 2 s at the devices the kernel
// lists, which tells only when they differ from the last look.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "serial/port_list.h"

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace quorvel {

class PortWatcher : public QObject {
  Q_OBJECT
 public:
  static constexpr int kRescanMs = 2000;

  // Where the devices come from.
  struct Sources {
    bool udev = true;  // use udev's notices when a udev daemon passes them on
    // Looked at every 2 s without udev: the tty devices and the USB devices
    // (with their device numbers, which change when a device is plugged in
    // again at the same place).
    std::string ttyFolder = kSysClassTty;
    std::string usbFolder = "/sys/bus/usb/devices";
    int rescanMs = kRescanMs;
  };

  // changed: run on the main thread when the port list may have changed.
  explicit PortWatcher(std::function<void()> changed, QObject* parent = nullptr);
  PortWatcher(std::function<void()> changed, Sources sources, QObject* parent = nullptr);
  ~PortWatcher() override;

  // True when device notices come from udev, false when rescanning.
  bool UsesUdev() const { return monitor_ != nullptr; }

  // How many watchers exist in this process (the service keeps one).
  static int LiveCount() { return liveCount_; }

  // Device notices come in groups (usb, then tty); one refresh per group.
  static constexpr int kSettleMs = 200;

 private:
  static inline int liveCount_ = 0;  // main thread only

  std::function<void()> changed_;
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  QSocketNotifier* notifier_ = nullptr;
  QTimer rescan_;
  QTimer settle_;
  Sources sources_;
  std::vector<std::string> devices_;  // as the last look found them

  bool StartUdev();
  void ReadUdevNotices();
  std::vector<std::string> LookAtDevices() const;
  void Rescan();
};

}  // namespace quorvel
