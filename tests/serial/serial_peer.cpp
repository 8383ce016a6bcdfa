// A second instance for the link tests: holds a port in its own process and
// lets it go when its standard input ends.
//   serial_peer PORT [--no-broadcast]
// Prints "status N after T ms" once the port selection is done (T: how long
// the selection took) and "released" after it has let the port go, then
// stays on the bus for a moment and exits.
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "serial/comm32kx.h"
#include "serial/port_handover.h"
#include "serial/port_list_service.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 2) return 2;
  const bool broadcast = !(argc > 2 && std::strcmp(argv[2], "--no-broadcast") == 0);

  // The port is offered as the command-line tool offers a path it is given.
  quorvel::PortListService::Instance().AddExtraPort(argv[1]);
  quorvel::TComm32Kx comm(nullptr, 1);
  comm.SetBroadCastPortOFF(broadcast);
  const auto start = std::chrono::steady_clock::now();
  comm.SetCOMPort(argv[1]);
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  std::printf("status %d after %lld ms\n", static_cast<int>(comm.Status()),
              static_cast<long long>(spent.count()));
  std::fflush(stdout);

  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
    char buf[64];
    if (read(STDIN_FILENO, buf, sizeof buf) > 0) return;
    input.setEnabled(false);
    comm.SetCOMPort("none");
    // The announcement reaches the bus before the peer ends, as at the
    // end of the programs.
    quorvel::FlushSessionBus();
    std::printf("released\n");
    std::fflush(stdout);
    QCoreApplication::quit();
  });
  return app.exec();
}
