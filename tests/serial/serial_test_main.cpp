// The link tests need an application object for the event loop, timers and
// the session bus.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "serial/port_handover.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  const int result = RUN_ALL_TESTS();
  // What the tests' link components announced reaches the bus before the
  // process ends, as the programs do.
  quorvel::FlushSessionBus();
  return result;
}
