// Renders the monitor as it looks during a run into PNG files for the
// documentation, in both languages:
//   vantor_screenshots OUTPUT_FOLDER [SUFFIX]
// The rows are those of a real run: quorvel-cli programs quorvel-sim (an
// M-530 in its user application, on a pseudo-terminal) with --trace, and the
// blocks of that trace reach the window as live blocks do, with their own
// times, so the window decodes them in its own language and the title names
// the port. scripts/screenshots.sh runs it under Xvfb, once per scale factor.
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "app/globals.h"
#include "process_runner.h"
#include "vantor/monitor_window.h"
#include "vantor/trace_reader.h"

namespace quorvel {
namespace {

const char* kLanguageNames[2] = {"pl", "en"};

// The run first knocks on the bootloader, which does not answer an
// instrument in its user application; the image starts with the last two of
// those knocks, just before the first reply (to identify), and goes on
// through enter-bootloader, connect, device information and erase into the
// first writes.
constexpr int kKnocksShown = 2;

int FirstRowShown(const TraceFileContents& run) {
  for (size_t row = 0; row < run.rows.size(); ++row) {
    if (run.rows[row].direction == TrafficDirection::Received) {
      return std::max(0, static_cast<int>(row) - 1 - kKnocksShown);
    }
  }
  return 0;
}

// Runs the event loop for ms milliseconds.
void Settle(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// Programs the sample firmware into a simulated M-530 with a trace; the
// trace's rows and the port they travelled on, or no rows when the run failed.
// The port is the pseudo-terminal itself (/dev/pts/N), not the link to it in
// a temporary folder: a short name, like a real port's, fits the column.
TraceFileContents RecordRun(const QTemporaryDir& work, std::string* port) {
  const std::string link = work.filePath(QStringLiteral("ttyVIRT0")).toStdString();
  const std::string trace = work.filePath(QStringLiteral("run.trace")).toStdString();
  test::BackgroundProcess sim({QUORVEL_SIM, "--device", "M-530", "--mode", "app", "--baud",
                               "115200", "--link", link, "--quiet"});
  *port = sim.FirstLine();
  if (port->empty()) {
    std::fprintf(stderr, "quorvel-sim did not start\n");
    return {};
  }
  const test::ProcessResult run = test::RunProcess(
      {QUORVEL_CLI, "program", "--device", "M-530", "--port", *port, "--baud", "115200", "--trace",
       trace, QUORVEL_SOURCE_DIR "/samples/sample_firmware.hex"},
      {"LC_ALL=C"}, std::chrono::seconds(120));
  if (run.exitCode != 0) {
    std::fprintf(stderr, "quorvel-cli program failed (%d):\n%s%s", run.exitCode, run.out.c_str(),
                 run.err.c_str());
    return {};
  }
  TraceFileContents contents =
      ReadTraceFile(trace, TrafficRowModel::kDefaultMaxRows, TrafficRowModel::kDefaultMaxBytes);
  if (!contents.failure.empty()) {
    std::fprintf(stderr, "%s\n", contents.failure.c_str());
    return {};
  }
  return contents;
}

bool Shoot(const TraceFileContents& run, const std::string& port, const QString& folder,
           const QString& suffix) {
  MonitorWindow window;
  window.SetDevice({0, port});
  const TrafficRowModel::Clock::time_point start = TrafficRowModel::Clock::now();
  for (const TraceRow& row : run.rows) {
    window.Rows().AddBlock(row.direction, row.bytes,
                           start + std::chrono::microseconds(row.microseconds));
  }
  window.Rows().Flush();
  window.show();
  Settle(200);
  auto* view = window.findChild<QTableView*>();
  if (view == nullptr) return false;
  view->scrollTo(window.Rows().index(FirstRowShown(run), 0), QAbstractItemView::PositionAtTop);
  Settle(200);
  const QString file = QString("%1/vantor_%2%3.png").arg(folder, kLanguageNames[Language], suffix);
  const bool saved = window.grab().save(file);
  std::printf("%s %s\n", saved ? "wrote" : "FAILED", file.toLocal8Bit().constData());
  return saved;
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
  QTemporaryDir work;
  if (!work.isValid()) return 1;
  QApplication app(argc, argv);
  const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  const QString suffix = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
  QDir().mkpath(folder);
  std::string port;
  const quorvel::TraceFileContents run = quorvel::RecordRun(work, &port);
  if (run.rows.empty()) return 1;
  bool ok = true;
  for (uint8_t language : {0, 1}) {
    quorvel::Language = language;
    ok &= quorvel::Shoot(run, port, folder, suffix);
  }
  return ok ? 0 : 1;
}
