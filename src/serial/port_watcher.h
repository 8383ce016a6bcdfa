// Tells the port-list service when serial devices come or go: a libudev monitor on
// the tty and usb subsystems watched by a socket notifier, or, where no udev
// daemon runs (a container), a rescan every 2 s.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace quorvel {

class PortWatcher : public QObject {
  Q_OBJECT
 public:
  // changed: run on the main thread when the port list may have changed.
  explicit PortWatcher(std::function<void()> changed, QObject* parent = nullptr);
  ~PortWatcher() override;

  // True when device notices come from udev, false when rescanning.
  bool UsesUdev() const { return monitor_ != nullptr; }

  // How many watchers exist in this process (the service keeps one).
  static int LiveCount() { return liveCount_; }

  static constexpr int kRescanMs = 2000;
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

  bool StartUdev();
  void ReadUdevNotices();
};

}  // namespace quorvel
