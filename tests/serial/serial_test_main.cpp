// The link tests need an application object for the event loop, timers and
// the session bus.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  const int result = RUN_ALL_TESTS();
  // Messages the tests' link components queued for the session bus (a
  // notice, a bus match) are sent by Qt's D-Bus thread: give it the time to
  // send them before the process ends and leaves them unsent.
  QTimer::singleShot(100, &app, &QCoreApplication::quit);
  app.exec();
  return result;
}
