#include "serial/port_list_service.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>
#include <utility>

#include "serial/port_handover.h"
#include "serial/port_list.h"
#include "serial/port_watcher.h"

namespace quorvel {
namespace {

// Drops from a "<a><b>" list every name that is not in `keep`.
std::string KeepListedNames(const std::string& list, const std::vector<std::string>& keep) {
  std::string kept;
  size_t start = 0;
  while ((start = list.find('<', start)) != std::string::npos) {
    const size_t end = list.find('>', start);
    if (end == std::string::npos) break;
    const std::string name = list.substr(start + 1, end - start - 1);
    if (std::find(keep.begin(), keep.end(), name) != keep.end()) {
      kept += list.substr(start, end - start + 1);
    }
    start = end + 1;
  }
  return kept;
}

}  // namespace

PortListService& PortListService::Instance() {
  // Never destroyed: the watcher and the bus connection go with the process.
  static PortListService* const service = new PortListService();
  return *service;
}

PortListService::PortListService() : extra_(SplitPortList(ExtraPortsFromEnvironment())) {
  Rescan();
  appeared_.clear();  // present from the start
}

void PortListService::StartWatching() {
  if (watcher_ != nullptr || QCoreApplication::instance() == nullptr) return;
  watcher_ = new PortWatcher([this] { Refresh(); }, this);
  handover_ = new PortHandover([this](const std::string& name) { TellPortFree(name, 0); }, this);
}

bool PortListService::WatchesUdev() const {
  return watcher_ != nullptr && watcher_->UsesUdev();
}

// ---- the list ----

void PortListService::Rescan() {
  PortScan scan = ScanPorts(kSysClassTty, extra_);
  duplicates_ = std::move(scan.duplicates);
  std::vector<std::string> names = SortPortNames(std::move(scan.names));

  // Only a device of the system appears by itself, and only there does udev
  // set the permissions a moment after the device node is made.
  const auto now = Clock::now();
  for (const std::string& name : names) {
    if (std::find(ports_.begin(), ports_.end(), name) == ports_.end() &&
        std::find(extra_.begin(), extra_.end(), name) == extra_.end()) {
      appeared_[name] = now;
    }
  }
  for (auto it = appeared_.begin(); it != appeared_.end();) {
    if (std::find(names.begin(), names.end(), it->first) == names.end()) {
      it = appeared_.erase(it);
    } else {
      ++it;
    }
  }
  ports_ = std::move(names);
  warned_ = KeepListedNames(warned_, ports_);
}

void PortListService::Refresh() {
  if (notifying_) {
    refreshPending_ = true;
    return;
  }
  Rescan();
  NotifyListChanged();
}

void PortListService::NotifyListChanged() {
  notifying_ = true;
  std::vector<SubscriptionId> ids;
  ids.reserve(subscribers_.size());
  for (const auto& entry : subscribers_) ids.push_back(entry.first);
  for (const SubscriptionId id : ids) {
    const auto found = subscribers_.find(id);
    if (found == subscribers_.end()) continue;  // left during an earlier notice
    const std::function<void()> handler = found->second.listChanged;
    if (handler) handler();
  }
  notifying_ = false;
  if (refreshPending_) {
    refreshPending_ = false;
    PostListNotice();
  }
}

void PortListService::PostListNotice() {
  if (noticePosted_) return;
  noticePosted_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        noticePosted_ = false;
        Refresh();
      },
      Qt::QueuedConnection);
}

void PortListService::AddExtraPort(const std::string& path) {
  if (path.empty()) return;
  extra_.push_back(path);
  Rescan();
  PostListNotice();
}

void PortListService::RemoveExtraPort(const std::string& path) {
  const auto last = std::find(extra_.rbegin(), extra_.rend(), path);
  if (last == extra_.rend()) return;
  extra_.erase(std::next(last).base());
  Rescan();
  PostListNotice();
}

std::optional<PortListService::Clock::duration> PortListService::ListedFor(
    const std::string& name) const {
  const auto found = appeared_.find(name);
  if (found == appeared_.end()) return std::nullopt;
  return Clock::now() - found->second;
}

bool PortListService::TakeDuplicateWarning(const std::string& name) {
  if (!NameListHas(duplicates_, name) || NameListHas(warned_, name)) return false;
  warned_ += "<" + name + ">";
  return true;
}

// ---- subscribers ----

PortListService::SubscriptionId PortListService::Subscribe(Subscriber subscriber) {
  StartWatching();
  const SubscriptionId id = nextId_++;
  subscribers_.emplace(id, std::move(subscriber));
  return id;
}

void PortListService::Unsubscribe(SubscriptionId id) {
  subscribers_.erase(id);
}

// ---- hand-over ----

void PortListService::AnnounceFree(const std::string& name, SubscriptionId from) {
  if (handover_ != nullptr) handover_->AnnounceFree(name);
  // This process's own components hear it from here, after the current
  // operation, as they would hear another process.
  QMetaObject::invokeMethod(
      this, [this, name, from] { TellPortFree(name, from); }, Qt::QueuedConnection);
}

void PortListService::TellPortFree(const std::string& name, SubscriptionId from) {
  std::vector<SubscriptionId> ids;
  ids.reserve(subscribers_.size());
  for (const auto& entry : subscribers_) {
    if (entry.first != from) ids.push_back(entry.first);
  }
  for (const SubscriptionId id : ids) {
    const auto found = subscribers_.find(id);
    if (found == subscribers_.end()) continue;
    const std::function<void(const std::string&)> handler = found->second.portFree;
    if (handler) handler(name);
  }
}

}  // namespace quorvel
