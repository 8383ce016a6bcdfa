#include "vantor/vantor_bus.h"

#include <QVariant>
#include <vector>

namespace quorvel {

namespace {

QString Latin(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// The messages the window sends; the monitor listens to these only.
constexpr std::string_view kHeard[] = {kMsgDevice, kMsgShow, kMsgClose, kMsgDataRec,
                                       kMsgDataSend};

bool IsText(const QVariant& value) {
  return value.typeId() == QMetaType::QString;
}
bool IsBytes(const QVariant& value) {
  return value.typeId() == QMetaType::QByteArray;
}

}  // namespace

VantorBus::VantorBus(QDBusConnection bus, uint64_t token, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), token_(Latin(MonitorTokenText(token))) {}

bool VantorBus::Open() {
  for (std::string_view name : kHeard) {
    // Any sender and any object path: the token, not the sender, tells that
    // a message is the window's.
    if (!bus_.connect(QString(), QString(), Latin(kMonitorInterface), Latin(name), this,
                      SLOT(OnMessage(QDBusMessage)))) {
      return false;
    }
  }
  // The match rules went out on this connection before the announcement,
  // and the bus handles a connection's messages in order: whatever the
  // window sends after hearing RETOPEN reaches us.
  Announce(kMsgRetOpen);
  return true;
}

void VantorBus::AnnounceClose(int timeoutMs) {
  Announce(kMsgRetClose);
  // A call answered by the bus itself comes back only after everything this
  // connection sent before it was taken.
  const QDBusMessage ping = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
  bus_.call(ping, QDBus::Block, timeoutMs);
}

void VantorBus::Announce(std::string_view name) {
  QDBusMessage signal =
      QDBusMessage::createSignal(Latin(kMonitorPath), Latin(kMonitorInterface), Latin(name));
  signal << token_;
  bus_.send(signal);
}

void VantorBus::OnMessage(const QDBusMessage& message) {
  const QList<QVariant> arguments = message.arguments();
  if (arguments.isEmpty() || !IsText(arguments[0]) || arguments[0].toString() != token_) return;
  const QString member = message.member();
  const bool withPayload = arguments.size() == 2 && IsBytes(arguments[1]);
  if (member == Latin(kMsgShow) && arguments.size() == 1) {
    emit ShowAsked();
  } else if (member == Latin(kMsgClose) && arguments.size() == 1) {
    emit CloseAsked();
  } else if (member == Latin(kMsgDevice) && withPayload) {
    const QByteArray payload = arguments[1].toByteArray();
    const auto device = ParseDevicePayload(std::vector<uint8_t>(payload.begin(), payload.end()));
    if (device) emit DeviceChanged(*device);
  } else if (member == Latin(kMsgDataRec) && withPayload) {
    emit Block(TrafficDirection::Received, arguments[1].toByteArray());
  } else if (member == Latin(kMsgDataSend) && withPayload) {
    emit Block(TrafficDirection::Sent, arguments[1].toByteArray());
  }
}

}  // namespace quorvel
