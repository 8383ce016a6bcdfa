#include "serial/port_handover.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QFileInfo>
#include <QVariant>
#include <atomic>
#include <cstdlib>
#include <utility>

#include <unistd.h>

#include "serial/port_free_notice.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUORVEL_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define QUORVEL_LEAK_CHECKED 1
#endif
#endif
#ifdef QUORVEL_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

namespace quorvel {

namespace {

// Set once this process has made its bus connection: there is nothing to
// flush before.
std::atomic<bool> busMade{false};

}  // namespace

bool SessionBusExpected() {
  if (std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime != nullptr && QFileInfo::exists(QString::fromLocal8Bit(runtime) + "/bus");
}

QDBusConnection SessionBus() {
  // Qt makes its D-Bus thread and the connection at the first call and owns
  // them until the process ends. It frees them at exit only when its thread
  // has ended first, which it does not always manage: the leak checker is
  // told that what the first call allocates is not ours to free.
  [[maybe_unused]] static const bool made = [] {
#ifdef QUORVEL_LEAK_CHECKED
    const __lsan::ScopedDisabler qtOwned;
#endif
    const bool connected = QDBusConnection::sessionBus().isConnected();
    busMade = true;
    return connected;
  }();
  return QDBusConnection::sessionBus();
}

void FlushSessionBus(int timeoutMs) {
  // A process that never used the bus (a test binary asked only for its
  // list, say) has sent nothing: it does not connect just to flush.
  if (!busMade || !SessionBusExpected()) return;
  QDBusConnection bus = SessionBus();
  if (!bus.isConnected()) return;
  const QDBusMessage ping = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus.Peer"), "Ping");
  bus.call(ping, QDBus::Block, timeoutMs);
}

namespace {

std::atomic<unsigned> nextComponent{0};

}  // namespace

PortHandover::PortHandover(std::function<void(const std::string&)> portFree, QObject* parent)
    : QObject(parent),
      portFree_(std::move(portFree)),
      token_(QString::number(getpid()) + ":" + QString::number(nextComponent.fetch_add(1))) {
  ++liveCount_;
  if (!SessionBusExpected()) return;
  QDBusConnection bus = SessionBus();
  if (!bus.isConnected()) return;
  connected_ = bus.connect(QString(), QString(), kHandoverInterface, kPortFreeSignal, this,
                           SLOT(PortFreeMessage(QDBusMessage)));
  // The match in force before anyone can let a port go that we wait for.
  if (connected_) FlushSessionBus();
}

PortHandover::~PortHandover() {
  --liveCount_;
}

void PortHandover::AnnounceFree(const std::string& portName) {
  if (!connected_) return;
  QDBusMessage signal =
      QDBusMessage::createSignal(kHandoverPath, kHandoverInterface, kPortFreeSignal);
  // The name as text for every listener, and as its bytes: a path need not
  // be UTF-8, and a port is its exact path.
  signal << QString::fromStdString(portName) << token_ << QByteArray::fromStdString(portName);
  SessionBus().send(signal);
}

void PortHandover::PortFreeMessage(const QDBusMessage& message) {
  std::vector<NoticeArgument> arguments;
  for (const QVariant& argument : message.arguments()) {
    if (argument.typeId() == QMetaType::QString) {
      arguments.push_back({NoticeArgument::Type::String, argument.toString().toStdString()});
    } else if (argument.typeId() == QMetaType::QByteArray) {
      arguments.push_back({NoticeArgument::Type::Bytes, argument.toByteArray().toStdString()});
    } else {
      arguments.push_back({});
    }
  }
  const std::optional<std::string> port = PortFreeNoticeName(arguments, token_.toStdString());
  if (port && portFree_) portFree_(*port);
}

}  // namespace quorvel
