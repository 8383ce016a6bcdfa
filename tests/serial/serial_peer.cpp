// A second instance for the link tests: holds a port in its own process and
// lets it go when its standard input ends.
//   serial_peer PORT [--no-broadcast]
// Prints "status N" once the port selection is done and "released" after it
// has let the port go, then stays on the bus for a moment and exits.
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <string>

#include "serial/comm32kx.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 2) return 2;
  const bool broadcast = !(argc > 2 && std::strcmp(argv[2], "--no-broadcast") == 0);

  quorvel::TComm32Kx comm(nullptr, 1);
  comm.SetBroadCastPortOFF(broadcast);
  comm.SetCOMPort(argv[1]);
  std::printf("status %d\n", comm.Status());
  std::fflush(stdout);

  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
    char buf[64];
    if (read(STDIN_FILENO, buf, sizeof buf) > 0) return;
    input.setEnabled(false);
    comm.SetCOMPort("none");
    std::printf("released\n");
    std::fflush(stdout);
    QTimer::singleShot(500, &app, &QCoreApplication::quit);
  });
  return app.exec();
}
