// The window's tests run in a widget application on the offscreen platform,
// with the settings in a folder of their own (XDG_CONFIG_HOME), removed at
// the end.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>

// Qt's D-Bus thread may still hold a message it queued for the session bus
// when a test process ends (the window's link components announce ports and
// devices they let go). The message is allocated inside Qt, where the
// leak checker's stack ends without frame pointers, so only Qt's own
// allocations can be told apart: those are not reported for these tests.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libQt6Core.so\nleak:libQt6DBus.so\n";
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir config;
  if (!config.isValid()) return 1;
  qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
  // USB converters come from the D2XX test double (its devices are named in
  // QUORVEL_D2XX_DOUBLE_DEVICES by the tests that need one).
  if (qEnvironmentVariableIsEmpty("QUORVEL_D2XX_LIBRARY")) {
    qputenv("QUORVEL_D2XX_LIBRARY", D2XX_DOUBLE_PATH);
  }
  QApplication app(argc, argv);
  const int result = RUN_ALL_TESTS();
  // Messages the tests' link components queued for the session bus (a
  // notice, a bus match) are sent by Qt's D-Bus thread: give it the time to
  // send them before the process ends and leaves them unsent.
  QTimer::singleShot(100, &app, &QCoreApplication::quit);
  app.exec();
  return result;
}
