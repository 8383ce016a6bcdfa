// The cost of the port-buffer monitor to a run: 128 KiB in 256-byte blocks
// into the paced simulated instrument at 115200 through one RunSession (the
// window's way), alternately without a monitor and with one that takes every
// block: the `vantor` program (--vantor PATH, started offscreen and
// announcing itself as the window's monitor does), otherwise a monitor's bus
// connection inside this process. Prints each run and the ratio of the
// medians; the goal is at most 1.02.
// Run under a session bus: dbus-run-session -- monitor_overhead_bench [--runs N] [--vantor PATH]
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_processes.h"
#include "datafile/data_file.h"
#include "monitor/monitor_link.h"
#include "monitor_side.h"
#include "run/device_types.h"
#include "run/monitor_messages.h"
#include "serial/port_list_service.h"
#include "session/run_session.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using quorvel::bench::Spawn;
using quorvel::bench::Wait;

constexpr uint32_t kImageSize = 128 * 1024;
constexpr uint32_t kImageStart = 0x08000000;
constexpr uint32_t kBaud = 115200;
constexpr int kLimitMs = 120'000;

pid_t StartSimulator(const fs::path& dir, const std::string& port) {
  fs::remove(port);
  const pid_t sim = Spawn({QUORVEL_SIM, "--device", "KV-310", "--mode", "boot", "--baud",
                           std::to_string(kBaud), "--block-size", "256", "--link", port, "--quiet"},
                          (dir / "sim.out").string());
  while (!fs::exists(port)) usleep(10000);
  return sim;
}

// One run; its seconds, or a negative number when it did not succeed.
double Run(const fs::path& dir, const std::string& file, quorvel::MonitorLink* monitor) {
  const std::string port = (dir / "port").string();
  const pid_t sim = StartSimulator(dir, port);
  // The simulator's terminal is a port of the list, as QUORVEL_EXTRA_PORTS makes it.
  quorvel::PortListService::Instance().AddExtraPort(port);
  const quorvel::TDevAvailArray devices = quorvel::BuildDeviceList();
  const std::vector<std::string> texts = quorvel::DeviceDisplayTexts(devices);
  const int row = quorvel::FindDeviceByDisplayText(devices, "KV-310");
  quorvel::RunSession session(devices);
  if (monitor != nullptr) {
    session.SetTrafficSink(
        [monitor](quorvel::TrafficDirection direction, std::span<const uint8_t> bytes) {
          monitor->SendData(direction, bytes);
        });
  }
  quorvel::RunSelection selection;
  selection.DeviceIndex = row;
  selection.DeviceText = texts[row];
  selection.PortName = port;
  selection.FileName = file;
  selection.Serial = {quorvel::bench::BaudOrdinal(kBaud, 0), quorvel::pbNone, quorvel::dbEight,
                      quorvel::sbOne};
  QSignalSpy finished(&session, &quorvel::RunSession::finished);
  const auto start = Clock::now();
  double seconds = -1;
  if (session.Start(selection) && finished.wait(kLimitMs) &&
      session.Outcome().Cause == quorvel::RunCause::Success) {
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
  } else {
    std::fprintf(stderr, "the run did not succeed: %s\n", session.Outcome().Message.c_str());
  }
  kill(sim, SIGTERM);
  Wait(sim);
  return seconds;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int runs = 3;
  QString vantor;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (option == "--vantor") vantor = QString::fromLocal8Bit(argv[i + 1]);
  }
  const fs::path dir = fs::temp_directory_path() / ("monitor-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::vector<uint8_t> image(kImageSize);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>((i * 7 + 3) % 251);
  const std::string file = (dir / "image.qvl").string();
  if (!quorvel::WriteDataFile(file, image, nullptr, 1, 0, kImageStart)) return 1;

  quorvel::MonitorLink link;
  QSignalSpy opened(&link, &quorvel::MonitorLink::opened);
  std::unique_ptr<quorvel::test::MonitorSide> inProcess;
  QProcess program;
  if (!vantor.isEmpty()) {
    program.setProcessEnvironment([] {
      QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
      environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
      return environment;
    }());
    program.start(vantor, {QString::fromStdString(quorvel::MonitorLaunchArgument(
                              std::stoull(link.Token().toStdString(), nullptr, 16),
                              quorvel::TLinkKind::Serial, "port"))});
  } else {
    inProcess = std::make_unique<quorvel::test::MonitorSide>("monitor");
    inProcess->Say(quorvel::kMsgRetOpen, {link.Token()});
  }
  if (!opened.wait(kLimitMs)) {
    std::fprintf(stderr, "the monitor did not announce itself\n");
    return 1;
  }
  std::printf("monitor: %s\n", vantor.isEmpty() ? "a bus connection of this process"
                                                 : vantor.toStdString().c_str());
  std::vector<double> without;
  std::vector<double> with;
  for (int i = 0; i < runs; ++i) {
    without.push_back(Run(dir, file, nullptr));
    with.push_back(Run(dir, file, &link));
    std::printf("run %d: without %.3f s, with %.3f s (monitor %s)\n", i + 1, without.back(),
                with.back(), link.Known() ? "still there" : "gone");
  }
  const double ratio = Median(with) / Median(without);
  std::printf("median without %.3f s, with %.3f s: with / without = %.4f (goal <= 1.02)\n",
              Median(without), Median(with), ratio);
  std::printf("line rate share without the monitor: %.1f %%\n",
              100.0 * kImageSize / Median(without) / (kBaud / 10.0));
  link.Close();
  if (program.state() != QProcess::NotRunning) program.waitForFinished(10000);
  fs::remove_all(dir);
  return 0;
}
