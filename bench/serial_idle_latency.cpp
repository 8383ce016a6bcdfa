// Measures the serial link on a pseudo-terminal: the process CPU time while
// a port is open and nothing arrives, and the delay from the last byte of a
// burst to OnReceive. A plain program, not a benchmark loop: both numbers are
// about waiting, not about throughput.
//   serial_idle_latency [idle seconds] [bursts]
#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "serial/comm32kx.h"
#include "serial/port_list_service.h"

namespace {

using Clock = std::chrono::steady_clock;

double ProcessCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

void RunEventLoopFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int idleSeconds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
  const int bursts = argc > 2 ? std::max(1, atoi(argv[2])) : 20;

  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  const std::string path = ttyname(slave);
  quorvel::PortListService::Instance().AddExtraPort(path);

  quorvel::TComm32Kx comm(nullptr, 1);
  comm.SetTimeOut(50);
  comm.SetCOMPort(path);
  if (!comm.IsOpen()) {
    std::fprintf(stderr, "could not open %s (status %d)\n", path.c_str(), comm.Status());
    return 1;
  }
  std::printf("port %s open, TimeOut %u ms, port list %s\n", path.c_str(), comm.TimeOut(),
              comm.WatchesUdev() ? "watched through udev" : "rescanned every 2 s (no udev)");

  // Idle: the port open, nothing arriving.
  RunEventLoopFor(200);  // let the open settle
  const double cpuBefore = ProcessCpuMs();
  const auto wallBefore = Clock::now();
  RunEventLoopFor(idleSeconds * 1000);
  const double cpuMs = ProcessCpuMs() - cpuBefore;
  const double wallS = std::chrono::duration<double>(Clock::now() - wallBefore).count();
  std::printf("idle: %.3f ms CPU over %.2f s = %.3f ms CPU per second\n", cpuMs, wallS,
              cpuMs / wallS);

  // Latency: one 20-byte burst at a time; the pseudo-terminal hands the
  // bytes over at once, so the write time is the arrival of the last byte.
  Clock::time_point received;
  bool got = false;
  comm.OnReceive = [&](quorvel::TComm32Kx*, const uint8_t*, uint32_t) {
    received = Clock::now();
    got = true;
  };
  std::vector<double> delays;
  const std::vector<uint8_t> burst(20, 0x5A);
  for (int i = 0; i < bursts; ++i) {
    got = false;
    const auto sent = Clock::now();
    if (write(master, burst.data(), burst.size()) != static_cast<ssize_t>(burst.size())) break;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
      if (got) loop.quit();
    });
    check.start(1);
    QTimer::singleShot(2000, &loop, &QEventLoop::quit);
    loop.exec();
    if (!got) {
      std::fprintf(stderr, "burst %d not received\n", i);
      return 1;
    }
    delays.push_back(std::chrono::duration<double, std::milli>(received - sent).count());
    RunEventLoopFor(120);  // a quiet line between bursts
  }
  std::sort(delays.begin(), delays.end());
  const double timeOut = comm.TimeOut();
  std::printf(
      "burst -> OnReceive over %zu bursts: min %.2f ms, median %.2f ms, max %.2f ms "
      "(TimeOut + %.2f / %.2f / %.2f ms)\n",
      delays.size(), delays.front(), delays[delays.size() / 2], delays.back(),
      delays.front() - timeOut, delays[delays.size() / 2] - timeOut, delays.back() - timeOut);

  comm.SetCOMPort("none");
  close(master);
  close(slave);
  return 0;
}
