// The monitor's tests run in a widget application on the offscreen platform,
// in English.
#include <gtest/gtest.h>

#include <QApplication>

#include "app/globals.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  quorvel::Language = 1;
  return RUN_ALL_TESTS();
}
