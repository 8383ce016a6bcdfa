// The desktop's view of a run on a private session bus: the task-bar
// entry's progress as a listener hears it, a notification as the service
// receives it (the window never waiting for the answer), and a session
// without a notification service or without a bus, where nothing breaks.
#include "window/desktop_signals.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "desktop_bus_double.h"
#include "window_test_support.h"

namespace quorvel {
namespace {

using testing::LauncherListener;
using testing::NotificationService;
using testing::ProgramScope;

constexpr int kBusLimitMs = 20'000;

TEST(DesktopSignals, TheTaskBarEntryFollowsTheRunInWholePercents) {
  for (uint8_t edition : {0, 1}) {
    SCOPED_TRACE(edition);
    ProgramScope program(1, edition);
    LauncherListener listener;
    ASSERT_TRUE(listener.Listening());
    DesktopSignals desktop;
    const QString uri = edition == 0
                            ? QStringLiteral("application://pl.varneld.Quorvel.desktop")
                            : QStringLiteral("application://pl.varneld.QuorvelKMB.desktop");
    EXPECT_EQ(desktop.AppUri(), uri);
    // Nothing shown yet: the end has nothing to take back.
    desktop.EndProgress();
    for (double done : {0.0, 0.004, 0.5, 0.503, 1.0, 1.7}) desktop.ShowProgress(done);
    desktop.EndProgress();
    ASSERT_TRUE(QTest::qWaitFor([&] { return listener.Updates().size() >= 4; }, kBusLimitMs));
    QTest::qWait(100);
    const std::vector<testing::LauncherUpdate>& heard = listener.Updates();
    ASSERT_EQ(heard.size(), 4u);
    const double progress[] = {0.0, 0.5, 1.0, 0.0};
    const bool visible[] = {true, true, true, false};
    for (size_t i = 0; i < heard.size(); ++i) {
      EXPECT_EQ(heard[i].appUri, uri);
      EXPECT_DOUBLE_EQ(heard[i].progress, progress[i]) << i;
      EXPECT_EQ(heard[i].visible, visible[i]) << i;
    }
  }
}

// The service holds its answer back: the call has reached it while the
// window's thread went on, and the answer is taken when it comes.
TEST(DesktopSignals, ANotificationReachesTheServiceWithoutWaitingForIt) {
  ProgramScope program(0, 1);
  NotificationService service(true);
  ASSERT_TRUE(service.Register());
  DesktopSignals desktop;
  QSignalSpy notified(&desktop, &DesktopSignals::notified);
  desktop.Notify(QStringLiteral("QuorvelKMB"), QStringLiteral("Programowanie\nzakończone"), false);
  desktop.Notify(QStringLiteral("Błąd"), QStringLiteral("nieudane"), true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return service.Held() == 2; }, kBusLimitMs));
  EXPECT_EQ(notified.count(), 0);
  ASSERT_EQ(service.Calls().size(), 2u);
  const testing::NotifyCall& first = service.Calls()[0];
  EXPECT_EQ(first.appName, "QuorvelKMB");
  EXPECT_EQ(first.icon, "pl.varneld.QuorvelKMB");
  EXPECT_EQ(first.summary, "QuorvelKMB");
  EXPECT_EQ(first.body, QStringLiteral("Programowanie\nzakończone"));
  EXPECT_EQ(first.hints.value("desktop-entry").toString(), "pl.varneld.QuorvelKMB");
  EXPECT_EQ(first.hints.value("urgency").toInt(), 1);
  EXPECT_EQ(service.Calls()[1].hints.value("urgency").toInt(), 2);
  service.AnswerHeld();
  ASSERT_TRUE(QTest::qWaitFor([&] { return notified.count() == 2; }, kBusLimitMs));
  EXPECT_TRUE(notified[0][0].toBool());
  EXPECT_TRUE(notified[1][0].toBool());
}

// A "<" or "&" in a message (a port or file name) is text: escaped for a
// service that reads the body as markup, as it is for one that does not.
TEST(DesktopSignals, TheBodyStaysTextWhateverTheServiceReads) {
  ProgramScope program(1);
  const QString body = QStringLiteral("tcp://a&b:1 <no answer>");
  const struct {
    QStringList capabilities;
    QString arrives;
  } cases[] = {
      {{QStringLiteral("body")}, body},
      {{QStringLiteral("body"), QStringLiteral("body-markup")},
       QStringLiteral("tcp://a&amp;b:1 &lt;no answer&gt;")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.capabilities.join(' ').toStdString());
    NotificationService service(false, c.capabilities);
    ASSERT_TRUE(service.Register());
    DesktopSignals desktop;
    QSignalSpy notified(&desktop, &DesktopSignals::notified);
    desktop.Notify(QStringLiteral("Quorvel"), body, true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return notified.count() == 1; }, kBusLimitMs));
    EXPECT_TRUE(notified[0][0].toBool());
    ASSERT_EQ(service.Calls().size(), 1u);
    EXPECT_EQ(service.Calls()[0].body, c.arrives);
  }
}

TEST(DesktopSignals, NoNotificationServiceOrNoBusBreaksNothing) {
  ProgramScope program(1);
  {
    DesktopSignals desktop;
    QSignalSpy notified(&desktop, &DesktopSignals::notified);
    desktop.ShowProgress(0.3);
    desktop.Notify(QStringLiteral("Quorvel"), QStringLiteral("done"), false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return notified.count() == 1; }, kBusLimitMs));
    EXPECT_FALSE(notified[0][0].toBool());
    desktop.EndProgress();
  }
  // A session without a bus: told at once from the event loop, nothing sent.
  const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  qunsetenv("DBUS_SESSION_BUS_ADDRESS");
  qputenv("XDG_RUNTIME_DIR", "/nonexistent");
  {
    DesktopSignals desktop;
    QSignalSpy notified(&desktop, &DesktopSignals::notified);
    desktop.ShowProgress(0.3);
    desktop.Notify(QStringLiteral("Quorvel"), QStringLiteral("done"), false);
    EXPECT_EQ(notified.count(), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return notified.count() == 1; }, kBusLimitMs));
    EXPECT_FALSE(notified[0][0].toBool());
    desktop.EndProgress();
  }
  qputenv("DBUS_SESSION_BUS_ADDRESS", address);
  if (runtime.isEmpty()) {
    qunsetenv("XDG_RUNTIME_DIR");
  } else {
    qputenv("XDG_RUNTIME_DIR", runtime);
  }
}

}  // namespace
}  // namespace quorvel
