// Measures the window: the time from the start of the process to the main
// window's first frame, and the CPU the idle program takes over 10 s with a
// serial port open (a pseudo-terminal). Not a test: it prints the numbers.
//   window_startup_bench [SECONDS]
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "app/globals.h"
#include "serial/comm32kx.h"
#include "serial/port_list_service.h"
#include "window/main_form.h"

namespace {

using Clock = std::chrono::steady_clock;

// Seconds since the process started, from /proc (10 ms steps).
double SecondsSinceProcessStart() {
  std::ifstream statFile("/proc/self/stat");
  std::string stat((std::istreambuf_iterator<char>(statFile)), {});
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  // Field 22 of the line is the 20th after the name.
  for (int i = 0; i < 20 && fields >> field; ++i) {
  }
  double uptime = 0;
  std::ifstream("/proc/uptime") >> uptime;
  return uptime - std::stod(field) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Notes the first paint of the window, then the first return to the event
// loop after it (the frame is on the screen).
class FirstFrame final : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && !painted) {
      painted = true;
      QTimer::singleShot(0, qApp, [this] {
        shownAfterProcess = SecondsSinceProcessStart();
        QCoreApplication::quit();
      });
    }
    return QObject::eventFilter(watched, event);
  }
  bool painted = false;
  double shownAfterProcess = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const Clock::time_point entered = Clock::now();
  quorvel::Edition = 0;
  QApplication app(argc, argv);
  quorvel::Language = 1;
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;

  FirstFrame frame;
  quorvel::TMainForm form;
  form.installEventFilter(&frame);
  form.show();
  QApplication::exec();
  const double fromMain = std::chrono::duration<double, std::milli>(Clock::now() - entered).count();
  std::printf("start-up to the first frame: %.0f ms from main, %.0f ms from the process start\n",
              fromMain, frame.shownAfterProcess * 1000);

  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return 1;
  const std::string port = ttyname(slave);
  quorvel::PortListService::Instance().AddExtraPort(port);
  quorvel::TComm32Kx comm(nullptr, quorvel::Language);
  comm.SetCOMPort(port);
  if (!comm.IsOpen()) comm.Open();
  if (!comm.IsOpen()) {
    std::printf("the port did not open\n");
    return 1;
  }
  const double before = CpuSeconds();
  const Clock::time_point idleStart = Clock::now();
  QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
  QApplication::exec();
  const double wall = std::chrono::duration<double>(Clock::now() - idleStart).count();
  const double cpu = CpuSeconds() - before;
  std::printf("idle with %s open: %.3f ms of CPU per second over %.1f s\n", port.c_str(),
              cpu * 1000 / wall, wall);
  comm.Close();
  close(master);
  close(slave);
  return 0;
}
