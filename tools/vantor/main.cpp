// vantor: the program's port-buffer monitor.
//
//   vantor LAUNCH_ARGUMENT   started by the window: follows its messages on
//                            the session bus (ParentHandle<token>|Index0|...)
//   vantor TRACE_FILE        shows a saved trace (no bus needed)
//   vantor                   an empty monitor that can open a trace
//   vantor --help | --version
//
// --dump-rows-on-close FILE (before the argument) writes the rows shown as a
// trace when the window closes: the tests read what the monitor showed.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QSocketNotifier>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "app/globals.h"
#include "app/stop_signals.h"
#include "app/text_utils.h"
#include "datafile/file_checks.h"
#include "run/monitor_messages.h"
#include "vantor/vantor_bus.h"
#include "vantor/vantor_manual.h"
#include "vantor/monitor_window.h"
#include "vantor/vantor_texts.h"

namespace {

// The niceness of a monitor that follows a window's run.
constexpr int kWatchingNiceness = 10;

struct Options {
  enum class Ask : uint8_t { Window, Help, Version };
  Ask ask = Ask::Window;
  std::string dumpFile;
  std::optional<std::string> argument;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  int at = 1;
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    options.ask = Options::Ask::Help;
    return options;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    options.ask = Options::Ask::Version;
    return options;
  }
  if (at + 1 < argc && std::strcmp(argv[at], "--dump-rows-on-close") == 0) {
    options.dumpFile = argv[at + 1];
    at += 2;
  }
  if (at < argc) options.argument = argv[at++];
  if (at < argc) return std::nullopt;
  return options;
}

bool IsFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

void Say(const std::string& text) {
  std::fputs(text.c_str(), stderr);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quorvel;
  // The window that starts the monitor tells its edition; the title names it.
  const char* edition = std::getenv("QUORVEL_EDITION");
  Edition = edition != nullptr && std::strcmp(edition, "1") == 0 ? 1 : 0;
  Language = LanguageFromEnvironment();

  const std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) {
    Say(vantor_texts::kUsage.str());
    return 2;
  }
  // Help and the version need no display.
  if (options->ask == Options::Ask::Help) {
    std::fputs(VantorUsage().c_str(), stdout);
    return 0;
  }
  if (options->ask == Options::Ask::Version) {
    std::printf("vantor %s\n", QUORVEL_VERSION);
    return 0;
  }
  std::optional<MonitorLaunch> launch;
  if (options->argument) {
    launch = ParseMonitorLaunchArgument(*options->argument);
    if (!launch && !IsFile(*options->argument)) {
      Say(FormatText(vantor_texts::kBadArgument.text(), {PrintableText(*options->argument)}));
      return 2;
    }
  }

  QApplication app(argc, argv);
  const QString title = QString::fromUtf8(vantor_texts::kTitle.str());
  QApplication::setApplicationName(QStringLiteral("vantor"));
  QApplication::setApplicationDisplayName(title);
  QApplication::setOrganizationName(QStringLiteral("VARNELD"));

  MonitorWindow window;
  std::unique_ptr<VantorBus> link;
  if (launch) {
    // The run it watches comes first: when the processors are busy, the
    // monitor waits for them, not the run for the monitor. It needs a few
    // per cent of one at most, which it still gets.
    (void)setpriority(PRIO_PROCESS, 0, kWatchingNiceness);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
      Say(FormatText(vantor_texts::kNoBus.text(), {bus.lastError().message().toStdString()}));
      return 1;
    }
    window.SetDevice(launch->device);
    link = std::make_unique<VantorBus>(bus, launch->token);
    QObject::connect(link.get(), &VantorBus::DeviceChanged, &window, &MonitorWindow::SetDevice);
    QObject::connect(link.get(), &VantorBus::ShowAsked, &window, &MonitorWindow::BringToFront);
    QObject::connect(link.get(), &VantorBus::CloseAsked, &window, &QWidget::close);
    QObject::connect(link.get(), &VantorBus::Block, &window,
                     [&window](TrafficDirection direction, const QByteArray& bytes) {
                       window.Rows().AddBlock(
                           direction, std::span(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                static_cast<size_t>(bytes.size())));
                     });
  } else if (options->argument) {
    std::string failure;
    if (!window.OpenTrace(*options->argument, &failure)) {
      Say("vantor: " + failure + "\n");
      return 2;
    }
  }

  // A desktop logout (SIGTERM) or a closed terminal (SIGHUP) closes the
  // window as its close button does, RETCLOSE included.
  StopSignals stop({SIGTERM, SIGHUP, SIGINT});
  std::unique_ptr<QSocketNotifier> stopNotice;
  if (stop.Fd() >= 0) {
    stopNotice = std::make_unique<QSocketNotifier>(stop.Fd(), QSocketNotifier::Read);
    QObject::connect(stopNotice.get(), &QSocketNotifier::activated, &window, [&window, &stop] {
      stop.Drain();
      window.close();
    });
  }
  window.show();
  window.activateWindow();
  if (link && !link->Open()) {
    Say(vantor_texts::kCannotListen.str());
    return 1;
  }
  const int result = QApplication::exec();
  if (!options->dumpFile.empty()) {
    std::string failure;
    if (!window.SaveTrace(options->dumpFile, &failure)) Say(failure + "\n");
  }
  if (link) link->AnnounceClose();
  return result;
}
