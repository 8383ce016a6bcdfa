// A port-buffer monitor's side of the session bus for tests: a bus
// connection of its own (another name on the bus, as the monitor program
// has), what it hears of the messages to a monitor, and a way to speak as
// one. Listed among a test's sources so that its meta-object is made.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <string_view>
#include <vector>

#include "run/monitor_messages.h"

namespace quorvel::test {

inline QString Name(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// The monitor's side: its own bus connection, what it hears, what it says.
class MonitorSide : public QObject {
  Q_OBJECT
 public:
  explicit MonitorSide(const QString& connectionName)
      : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName)) {
    for (const std::string_view name :
         {kMsgDevice, kMsgShow, kMsgClose, kMsgDataRec, kMsgDataSend}) {
      bus_.connect(QString(), QString(), Name(kMonitorInterface), Name(name), this,
                   SLOT(Heard(QDBusMessage)));
    }
    Flush();
  }
  ~MonitorSide() override { Leave(); }

  void Say(std::string_view name, const QList<QVariant>& arguments) {
    QDBusMessage signal =
        QDBusMessage::createSignal(Name(kMonitorPath), Name(kMonitorInterface), Name(name));
    signal.setArguments(arguments);
    bus_.send(signal);
  }
  void Flush() {
    bus_.call(QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                             "org.freedesktop.DBus.Peer", "Ping"));
  }
  // The connection closes once no one holds it: this side lets go first.
  void Leave() {
    const QString name = bus_.name();
    bus_ = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(name);
  }

  std::vector<QDBusMessage> heard;

 private slots:
  void Heard(const QDBusMessage& message) { heard.push_back(message); }

 private:
  QDBusConnection bus_;
};

}  // namespace quorvel::test
