// PortListService: the serial ports of this process, one service for every
// link component in it (a production line drives many instruments at once
// from one process). It owns the one device watcher (a udev monitor, or a
// rescan every 2 s where no udev daemon runs), the one hand-over listener on
// the session bus, the current port list and the extra ports, and tells the
// components that subscribed when the list changed or another component let
// a port go. Main thread only.
#pragma once

#include <QObject>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

class PortHandover;
class PortWatcher;

class PortListService : public QObject {
  Q_OBJECT
 public:
  using Clock = std::chrono::steady_clock;
  using SubscriptionId = uint64_t;

  // What a subscriber is told; either may be empty.
  struct Subscriber {
    // The list may have changed (Ports() holds the new one).
    std::function<void()> listChanged;
    // A component of this or another process let the named port go.
    std::function<void(const std::string& name)> portFree;
  };

  // The service of this process, made on first use. It stays until the
  // process ends: components made at any time, the window's and every
  // session's, stand on the same one.
  static PortListService& Instance();

  // The port names, sorted (COM3 before COM10): the system's serial ports
  // and the extra ports. Without the "none" entry, which each component puts
  // first in its own language.
  const std::vector<std::string>& Ports() const { return ports_; }

  // The extra ports in the order given: first the paths of the environment
  // variable QUORVEL_EXTRA_PORTS as it was when the service was made, then
  // the ones added.
  const std::vector<std::string>& ExtraPorts() const { return extra_; }
  // Adds a port the system does not list (a virtual port): Ports() holds it
  // on return, the subscribers hear of it from the event loop. A path added
  // twice is listed twice, as a path named twice in the variable is, and
  // the components warn about the doubled name.
  void AddExtraPort(const std::string& path);
  // Removes one entry of the path from the extra ports (the last one).
  void RemoveExtraPort(const std::string& path);

  // Scans the ports now and tells every subscriber, before it returns. A
  // request made while the subscribers are being told (further up the
  // stack) is run afterwards from the event loop, so refreshes never nest.
  void Refresh();

  // How long ago a port of the system entered the list; empty for an extra
  // port, a port not listed and one that was there when the service was
  // made.
  std::optional<Clock::duration> ListedFor(const std::string& name) const;

  // True once for a name that the last scan found twice, false after that
  // until the name has left the list and come back doubled: each doubled
  // name is warned about once.
  bool TakeDuplicateWarning(const std::string& name);

  // True when device notices come from udev (else the list is rescanned).
  bool WatchesUdev() const;

  SubscriptionId Subscribe(Subscriber subscriber);
  // Safe from inside a notice, also for another subscriber.
  void Unsubscribe(SubscriptionId id);

  // Tells every other component, in this process and on the session bus,
  // that the port is free. `from` (the announcing component) is not told.
  void AnnounceFree(const std::string& name, SubscriptionId from);

 private:
  PortListService();

  std::vector<std::string> extra_;
  std::vector<std::string> ports_;
  std::string duplicates_;  // "<a><b>": names the last scan found twice
  std::string warned_;      // "<a><b>": doubled names already warned about
  std::map<std::string, Clock::time_point> appeared_;

  std::map<SubscriptionId, Subscriber> subscribers_;
  SubscriptionId nextId_ = 1;

  PortWatcher* watcher_ = nullptr;
  PortHandover* handover_ = nullptr;

  bool notifying_ = false;
  bool refreshPending_ = false;
  bool noticePosted_ = false;

  // Starts the watcher and the listener; they need the event loop of the
  // application, which the first subscriber has.
  void StartWatching();
  void Rescan();
  void NotifyListChanged();
  void PostListNotice();
  void TellPortFree(const std::string& name, SubscriptionId from);
};

}  // namespace quorvel
