// What the desktop shows of a run outside the window: the run's progress on
// the program's task-bar entry, through the launcher-entry signal that the
// docks and task bars of several desktops follow
// (com.canonical.Unity.LauncherEntry "Update" on the session bus), and a
// notification of the outcome (org.freedesktop.Notifications). Both are
// sent without waiting for anyone: a desktop that follows neither, or a
// session without a notification service or without a bus, changes
// nothing for the window.
#pragma once

#include <QObject>
#include <QString>

namespace quorvel {

// The desktop entry by which the desktop knows the edition's window
// ("pl.varneld.Quorvel", "pl.varneld.QuorvelKMB").
QString DesktopEntryId();

inline constexpr const char* kLauncherEntryInterface = "com.canonical.Unity.LauncherEntry";
inline constexpr const char* kNotificationsService = "org.freedesktop.Notifications";

class DesktopSignals final : public QObject {
  Q_OBJECT
 public:
  // desktopEntryId: the entry the task bar shows the progress on.
  explicit DesktopSignals(QString desktopEntryId = DesktopEntryId(), QObject* parent = nullptr);

  // The share of the run done, 0 to 1: the task-bar entry shows it. Sent
  // only when the whole percent changes.
  void ShowProgress(double done);
  // The run is over: the entry shows no progress.
  void EndProgress();
  // A notification with the summary and body (plain text, line ends as
  // "\n"; escaped for a service that reads markup); the answer, or that none
  // came, is only reported through `notified`.
  void Notify(const QString& summary, const QString& body, bool failure);

  // "application://<desktop entry>.desktop".
  QString AppUri() const;

 signals:
  // The notification service answered (accepted) or the call failed
  // (no service, no bus, an error): for the record only.
  void notified(bool accepted);

 private:
  QString desktopEntryId_;
  int shownPercent_ = -1;

  void SendLauncherUpdate(double progress, bool visible);
  // The Notify call itself, the body as the service reads it.
  void SendNotify(const QString& summary, const QString& body, bool failure);
};

}  // namespace quorvel
