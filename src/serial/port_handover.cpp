#include "serial/port_handover.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QFileInfo>
#include <QVariant>
#include <atomic>
#include <cstdlib>
#include <utility>

#include <unistd.h>

namespace quorvel {

bool SessionBusExpected() {
  if (std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime != nullptr && QFileInfo::exists(QString::fromLocal8Bit(runtime) + "/bus");
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
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  connected_ = bus.connect(QString(), QString(), kHandoverInterface, kPortFreeSignal, this,
                           SLOT(PortFreeMessage(QDBusMessage)));
}

PortHandover::~PortHandover() {
  --liveCount_;
}

void PortHandover::AnnounceFree(const std::string& portName) {
  if (!connected_) return;
  QDBusMessage signal =
      QDBusMessage::createSignal(kHandoverPath, kHandoverInterface, kPortFreeSignal);
  signal << QString::fromStdString(portName) << token_;
  QDBusConnection::sessionBus().send(signal);
}

void PortHandover::PortFreeMessage(const QDBusMessage& message) {
  const QList<QVariant> args = message.arguments();
  if (args.size() < 2) return;
  if (args.at(1).toString() == token_) return;  // our own announcement
  if (portFree_) portFree_(args.at(0).toString().toStdString());
}

}  // namespace quorvel
