// The desktop's side of the session bus for the window's tests: a
// notification service (org.freedesktop.Notifications) that records every
// Notify call and may hold its answer back, and a listener for the task-bar
// entry's launcher-entry signal. Each stands on a connection of its own,
// so that the window's calls and signals really cross the bus daemon.
#pragma once

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <vector>

namespace quorvel::testing {

struct NotifyCall {
  QString appName;
  QString icon;
  QString summary;
  QString body;
  QVariantMap hints;
};

class NotificationService final : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
 public:
  // holdAnswers: the Notify calls are answered only by AnswerHeld().
  // capabilities: what GetCapabilities answers ("body-markup": the body is
  // read as markup).
  explicit NotificationService(bool holdAnswers = false,
                               QStringList capabilities = {QStringLiteral("body")})
      : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                           QStringLiteral("notification-service"))),
        hold_(holdAnswers),
        capabilities_(std::move(capabilities)) {}
  ~NotificationService() override {
    bus_.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    bus_.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    QDBusConnection::disconnectFromBus(QStringLiteral("notification-service"));
  }

  // Takes the service's name on the bus; false when that failed.
  bool Register() {
    return bus_.isConnected() &&
           bus_.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                               QDBusConnection::ExportAllSlots) &&
           bus_.registerService(QStringLiteral("org.freedesktop.Notifications"));
  }

  const std::vector<NotifyCall>& Calls() const { return calls_; }
  size_t Held() const { return held_.size(); }
  void AnswerHeld() {
    for (const QDBusMessage& call : held_) bus_.send(call.createReply(uint{7}));
    held_.clear();
  }

 public slots:
  QStringList GetCapabilities() { return capabilities_; }
  uint Notify(const QString& appName, uint /*replacesId*/, const QString& icon,
              const QString& summary, const QString& body, const QStringList& /*actions*/,
              const QVariantMap& hints, int /*timeout*/, const QDBusMessage& message) {
    calls_.push_back({appName, icon, summary, body, hints});
    if (hold_) {
      message.setDelayedReply(true);
      held_.push_back(message);
    }
    return 7;
  }

 private:
  QDBusConnection bus_;
  bool hold_;
  QStringList capabilities_;
  std::vector<NotifyCall> calls_;
  std::vector<QDBusMessage> held_;
};

struct LauncherUpdate {
  QString appUri;
  double progress;
  bool visible;
};

class LauncherListener final : public QObject {
  Q_OBJECT
 public:
  LauncherListener()
      : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                           QStringLiteral("launcher-listener"))) {
    listening_ =
        bus_.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                     QStringLiteral("Update"), this, SLOT(Heard(QDBusMessage)));
    // A round trip behind the match: the daemon has it in force on return.
    if (listening_) bus_.interface()->serviceOwner(QStringLiteral("org.freedesktop.DBus"));
  }
  ~LauncherListener() override {
    QDBusConnection::disconnectFromBus(QStringLiteral("launcher-listener"));
  }

  bool Listening() const { return listening_; }
  const std::vector<LauncherUpdate>& Updates() const { return updates_; }

 private slots:
  void Heard(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (args.size() != 2) return;
    const QVariantMap properties = qdbus_cast<QVariantMap>(args[1]);
    updates_.push_back({args[0].toString(), properties.value(QStringLiteral("progress")).toDouble(),
                        properties.value(QStringLiteral("progress-visible")).toBool()});
  }

 private:
  QDBusConnection bus_;
  bool listening_ = false;
  std::vector<LauncherUpdate> updates_;
};

}  // namespace quorvel::testing
