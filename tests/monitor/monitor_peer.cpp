// A stand-in monitor process for the monitor link's tests: it announces
// itself with the token it is given, prints "ready" once it has, and ends
// on CLOSE after saying RETCLOSE. The tests stop it with SIGSTOP to see a
// monitor that takes nothing.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <cstdio>

#include "run/monitor_messages.h"

namespace {

QString Name(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

class Peer : public QObject {
  Q_OBJECT
 public:
  explicit Peer(QString token) : token_(std::move(token)) {}

  bool Start() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.connect(QString(), QString(), Name(quorvel::kMonitorInterface),
                     Name(quorvel::kMsgClose), this, SLOT(Close(QDBusMessage)))) {
      return false;
    }
    Say(quorvel::kMsgRetOpen);
    std::printf("ready\n");
    std::fflush(stdout);
    return true;
  }

 private slots:
  void Close(const QDBusMessage& message) {
    if (message.arguments().value(0).toString() != token_) return;
    Say(quorvel::kMsgRetClose);
    QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Peer", "Ping"));
    QCoreApplication::exit(0);
  }

 private:
  void Say(std::string_view name) {
    QDBusMessage signal = QDBusMessage::createSignal(Name(quorvel::kMonitorPath),
                                                     Name(quorvel::kMonitorInterface), Name(name));
    signal << token_;
    QDBusConnection::sessionBus().send(signal);
    // The announcement is on its way before the test hears "ready".
    QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Peer", "Ping"));
  }

  QString token_;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 2) return 2;
  Peer peer(QString::fromLatin1(argv[1]));
  if (!peer.Start()) return 1;
  return app.exec();
}

#include "monitor_peer.moc"
