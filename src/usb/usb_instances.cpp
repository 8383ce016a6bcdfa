#include "usb/usb_instances.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QFileInfo>
#include <QList>
#include <QVariant>
#include <atomic>
#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/port_handover.h"
#include "usb/device_list.h"

namespace quorvel {
namespace {

std::atomic<unsigned> nextChannel{0};

}  // namespace

std::string SharedObjectPath(const char* name) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') return {};
  std::string path(runtime);
  path += '/';
  path += name;
  return path;
}

// The process's subscription to the change-notice signal, handing each
// notice to every channel except its sender.
class UsbNoticeBus : public QObject {
  Q_OBJECT
 public:
  static UsbNoticeBus& Instance() {
    static UsbNoticeBus* bus = new UsbNoticeBus;  // kept until the process ends
    return *bus;
  }
  bool Connected() const { return connected_; }
  uint64_t Add(UsbNoticeChannel* channel) {
    channels_[nextId_] = channel;
    return nextId_++;
  }
  void Remove(uint64_t id) { channels_.erase(id); }

 private Q_SLOTS:
  void NoticeMessage(const QDBusMessage& message) {
    // Any process on the bus may send this signal: its shape and size are
    // checked before anything of it is used.
    const QList<QVariant> args = message.arguments();
    const bool shaped = args.size() == 2 &&
                        args.at(0).metaType() == QMetaType::fromType<QByteArray>() &&
                        args.at(1).metaType() == QMetaType::fromType<QString>();
    const QString sender = shaped ? args.at(1).toString() : QString();
    std::string notice;
    bool readable = false;
    if (shaped) {
      const QByteArray bytes = args.at(0).toByteArray();
      readable = !bytes.isEmpty() && static_cast<size_t>(bytes.size()) <= usb::kMaxChangeNoticeSize;
      if (readable) notice.assign(bytes.constData(), static_cast<size_t>(bytes.size()));
    }
    // A channel may go away while another one's handler runs.
    std::vector<uint64_t> ids;
    for (const auto& entry : channels_) ids.push_back(entry.first);
    for (const uint64_t id : ids) {
      const auto found = channels_.find(id);
      if (found == channels_.end()) continue;
      UsbNoticeChannel* channel = found->second;
      if (shaped && sender == channel->token_) continue;  // its own notice
      const UsbNoticeChannel::Received received = channel->received_;
      if (received) received(notice, readable);
    }
  }

 private:
  UsbNoticeBus() {
    if (!SessionBusExpected()) return;
    QDBusConnection bus = SessionBus();
    if (!bus.isConnected()) return;
    connected_ = bus.connect(QString(), QString(), kUsbNoticeInterface, kUsbNoticeSignal, this,
                             SLOT(NoticeMessage(QDBusMessage)));
    // The match in force before any notice we wait for can be sent.
    if (connected_) FlushSessionBus();
  }
  std::map<uint64_t, UsbNoticeChannel*> channels_;
  uint64_t nextId_ = 1;
  bool connected_ = false;
};

UsbNoticeChannel::UsbNoticeChannel(Received received)
    : received_(std::move(received)),
      token_(QString::number(getpid()) + ":" + QString::number(nextChannel.fetch_add(1))) {
  id_ = UsbNoticeBus::Instance().Add(this);
}

UsbNoticeChannel::~UsbNoticeChannel() {
  UsbNoticeBus::Instance().Remove(id_);
}

bool UsbNoticeChannel::Connected() const {
  return UsbNoticeBus::Instance().Connected();
}

void UsbNoticeChannel::Publish(const std::string& notice) {
  if (!Connected()) return;
  QDBusMessage signal =
      QDBusMessage::createSignal(kUsbNoticePath, kUsbNoticeInterface, kUsbNoticeSignal);
  signal << QByteArray(notice.data(), static_cast<qsizetype>(notice.size())) << token_;
  SessionBus().send(signal);
}

SharedOpenCount& SharedOpenCount::Instance() {
  static SharedOpenCount instance;
  return instance;
}

SharedOpenCount::SharedOpenCount() {
  const std::string path = SharedObjectPath(kOpenCountName);
  if (path.empty()) return;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  struct stat info {};
  // The first instance makes the word (a new file reads as 0).
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      (info.st_size >= static_cast<off_t>(sizeof(uint32_t)) ||
       ftruncate(fd, sizeof(uint32_t)) == 0)) {
    void* map = mmap(nullptr, sizeof(uint32_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map != MAP_FAILED) word_ = static_cast<uint32_t*>(map);
  }
  close(fd);
}

uint32_t SharedOpenCount::Value() const {
  if (word_ == nullptr) return local_;
  return std::atomic_ref<uint32_t>(*word_).load();
}

void SharedOpenCount::Add(int32_t delta) {
  uint32_t& word = word_ != nullptr ? *word_ : local_;
  std::atomic_ref<uint32_t> count(word);
  uint32_t value = count.load();
  uint32_t next = 0;
  do {
    next = delta >= 0 ? value + static_cast<uint32_t>(delta)
                      : (value > static_cast<uint32_t>(-delta) ? value + delta : 0);
  } while (!count.compare_exchange_weak(value, next));
}

EnumerationLock::EnumerationLock() {
  const std::string path = SharedObjectPath(kEnumerationLockName);
  if (path.empty()) return;
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) return;
  while (flock(fd_, LOCK_EX) < 0 && errno == EINTR) {
  }
}

EnumerationLock::~EnumerationLock() {
  if (fd_ >= 0) close(fd_);  // lets the lock go
}

}  // namespace quorvel

#include "usb_instances.moc"
