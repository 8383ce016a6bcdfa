// The window's tests run in a widget application on the offscreen platform,
// with the settings in a folder of their own (XDG_CONFIG_HOME), removed at
// the end.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QTemporaryDir>

#include "serial/port_handover.h"

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
  // What the tests' link components announced reaches the bus before the
  // process ends, as the program does.
  quorvel::FlushSessionBus();
  return result;
}
