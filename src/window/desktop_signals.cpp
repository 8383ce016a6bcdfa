#include "window/desktop_signals.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>
#include <algorithm>
#include <cmath>
#include <optional>

#include "app/globals.h"
#include "dialogs/dialog_support.h"
#include "serial/port_handover.h"

namespace quorvel {
namespace {

constexpr const char* kDesktopEntries[2] = {"pl.varneld.Quorvel", "pl.varneld.QuorvelKMB"};
// Docks listen to the signal from any object; the path only has to be a
// valid one of ours.
constexpr const char* kLauncherEntryPath = "/pl/varneld/Quorvel/LauncherEntry";
constexpr const char* kNotificationsPath = "/org/freedesktop/Notifications";
// A notification service that takes longer than this is given up on (the
// window never waits for it anyway).
constexpr int kNotifyTimeoutMs = 25'000;
// The urgency hint: normal, critical.
constexpr uchar kUrgencyNormal = 1;
constexpr uchar kUrgencyCritical = 2;

// The bus, when this session has one; nothing ever starts one.
std::optional<QDBusConnection> Bus() {
  if (!SessionBusExpected()) return std::nullopt;
  QDBusConnection bus = SessionBus();
  if (!bus.isConnected()) return std::nullopt;
  return bus;
}

}  // namespace

QString DesktopEntryId() {
  return QString::fromLatin1(kDesktopEntries[Edition == 0 ? 0 : 1]);
}

DesktopSignals::DesktopSignals(QString desktopEntryId, QObject* parent)
    : QObject(parent), desktopEntryId_(std::move(desktopEntryId)) {}

QString DesktopSignals::AppUri() const {
  return QStringLiteral("application://") + desktopEntryId_ + QStringLiteral(".desktop");
}

void DesktopSignals::ShowProgress(double done) {
  if (!(done >= 0)) done = 0;
  done = std::min(done, 1.0);
  const int percent = static_cast<int>(std::floor(done * 100));
  if (percent == shownPercent_) return;
  shownPercent_ = percent;
  SendLauncherUpdate(done, true);
}

void DesktopSignals::EndProgress() {
  if (shownPercent_ < 0) return;
  shownPercent_ = -1;
  SendLauncherUpdate(0, false);
}

void DesktopSignals::SendLauncherUpdate(double progress, bool visible) {
  std::optional<QDBusConnection> bus = Bus();
  if (!bus) return;
  QDBusMessage update = QDBusMessage::createSignal(QString::fromLatin1(kLauncherEntryPath),
                                                   QString::fromLatin1(kLauncherEntryInterface),
                                                   QStringLiteral("Update"));
  const QVariantMap properties{{QStringLiteral("progress"), progress},
                               {QStringLiteral("progress-visible"), visible}};
  update << AppUri() << properties;
  // Queued to Qt's D-Bus thread: a signal never waits for a listener.
  bus->send(update);
}

void DesktopSignals::Notify(const QString& summary, const QString& body, bool failure) {
  std::optional<QDBusConnection> bus = Bus();
  if (!bus) {
    // Told from the event loop, as an answer from the bus would be.
    QMetaObject::invokeMethod(
        this, [this] { emit notified(false); }, Qt::QueuedConnection);
    return;
  }
  // A service that reads markup in the body would take a "<" or "&" of the
  // message (a file or port name) for markup: it gets the text escaped, any
  // other the text as it is. So the service is asked first what it reads.
  const QDBusMessage ask = QDBusMessage::createMethodCall(
      QString::fromLatin1(kNotificationsService), QString::fromLatin1(kNotificationsPath),
      QString::fromLatin1(kNotificationsService), QStringLiteral("GetCapabilities"));
  auto* watcher = new QDBusPendingCallWatcher(bus->asyncCall(ask, kNotifyTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, summary, body, failure](QDBusPendingCallWatcher* done) {
            const QDBusPendingReply<QStringList> reply = *done;
            done->deleteLater();
            const bool markup =
                !reply.isError() && reply.value().contains(QStringLiteral("body-markup"));
            SendNotify(summary, markup ? body.toHtmlEscaped() : body, failure);
          });
}

void DesktopSignals::SendNotify(const QString& summary, const QString& body, bool failure) {
  std::optional<QDBusConnection> bus = Bus();
  if (!bus) {
    emit notified(false);
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QString::fromLatin1(kNotificationsService), QString::fromLatin1(kNotificationsPath),
      QString::fromLatin1(kNotificationsService), QStringLiteral("Notify"));
  const QVariantMap hints{
      {QStringLiteral("desktop-entry"), desktopEntryId_},
      {QStringLiteral("urgency"),
       QVariant::fromValue<uchar>(failure ? kUrgencyCritical : kUrgencyNormal)}};
  call << ToQString(ProgramName()) << uint{0} << desktopEntryId_ << summary << body << QStringList()
       << hints << int{-1};
  auto* watcher = new QDBusPendingCallWatcher(bus->asyncCall(call, kNotifyTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
    const QDBusPendingReply<uint> reply = *done;
    done->deleteLater();
    emit notified(!reply.isError());
  });
}

}  // namespace quorvel
