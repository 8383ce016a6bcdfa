// quorvel-cli program: one programming run over the serial link component,
// as the window runs it, with the log on stdout and a progress bar on stderr.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include "app/globals.h"
#include "app/text_utils.h"
#include "cli/cli_prompt.h"
#include "cli/commands.h"
#include "cli/serial_run_link.h"
#include "run/device_types.h"
#include "run/log_texts.h"
#include "run/progress_values.h"
#include "run/run_engine.h"
#include "run/run_log.h"
#include "serial/comm32kx.h"
#include "serial/line_settings.h"

namespace quorvel {
namespace {

constexpr TextPair kUnknownDeviceType{"Nieznany typ urządzenia: ", "Unknown device type: "};
constexpr TextPair kDeviceNotSelected{"BŁĄD\r\nNie wybrano typu urządzenia.",
                                      "ERROR\r\nDevice not selected."};
constexpr TextPair kUsbNotYet{"Urządzenia USB nie są jeszcze obsługiwane przez quorvel-cli: ",
                              "USB devices are not supported by quorvel-cli yet: "};
constexpr TextPair kBadAddress{"Adres urządzenia na magistrali RS-485 (1..65534): ",
                               "Bus address of the RS-485 device (1..65534): "};
constexpr TextPair kPortNotInList{"Nie ma takiego portu: ", "No such port: "};

// --baud, --parity, --data-bits, --stop-bits over the row's defaults.
std::optional<LineSettings> LineSettingsFromArgs(const CliArgs& args, LineSettings settings,
                                                 std::string& bad) {
  auto pick = [&](const char* option, size_t count, auto text, uint8_t& field) {
    if (!args.Has(option)) return true;
    const std::string value = args.Get(option);
    for (size_t i = 0; i < count; ++i) {
      if (SameTextNoCase(value, text(static_cast<uint8_t>(i)))) {
        field = static_cast<uint8_t>(i);
        return true;
      }
    }
    bad = std::string("--") + option + " " + value;
    return false;
  };
  static constexpr const char* kParityWords[] = {"none", "odd", "even", "mark", "space"};
  const bool ok =
      pick("baud", kBaudRateCount, BaudText, settings.Baud) &&
      (pick(
           "parity", kParityCount, [](uint8_t i) { return std::string_view(kParityWords[i]); },
           settings.Parity) ||
       pick("parity", kParityCount, ParityLetter, settings.Parity)) &&
      pick("data-bits", kDataBitsCount, DataBitsText, settings.DataBits) &&
      pick("stop-bits", kStopBitsCount, StopBitsText, settings.StopBits);
  if (!ok) return std::nullopt;
  bad.clear();
  return settings;
}

// A path not in the system's list is offered as an extra port.
void OfferExtraPort(const std::string& port) {
  if (port.find('/') == std::string::npos) return;
  std::string extra = port;
  if (const char* existing = std::getenv("QUORVEL_EXTRA_PORTS"); existing && *existing) {
    extra += ':';
    extra += existing;
  }
  setenv("QUORVEL_EXTRA_PORTS", extra.c_str(), 1);
}

class SteadyTicks final : public TickSource {
 public:
  uint32_t NowMs() override {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
  }
};

// The bar of acknowledged bytes on stderr, redrawn in place; log lines on
// stdout are written above it.
class TerminalProgressBar {
 public:
  TerminalProgressBar() : enabled_(isatty(STDERR_FILENO) == 1) {}

  void Draw(const ProgressValues& values) {
    if (!enabled_ || values.Max() == 0) return;
    constexpr int kWidth = 40;
    const uint64_t filled =
        std::min<uint64_t>(kWidth, uint64_t{values.Written()} * kWidth / values.Max());
    std::string bar(filled, '#');
    bar.resize(kWidth, '.');
    std::fprintf(stderr, "\r[%s] %u / %u  %s\033[K", bar.c_str(), values.Written(), values.Max(),
                 values.Label().c_str());
    std::fflush(stderr);
    shown_ = true;
  }
  void Hide() {
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown_ = false;
  }

 private:
  bool enabled_;
  bool shown_ = false;
};

// Ctrl-C is the Stop button: the signal handler writes to a pipe that the
// event loop watches.
int stopPipe[2] = {-1, -1};
void OnInterrupt(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t written = write(stopPipe[1], &byte, 1);
  signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the program at once
}

}  // namespace

int ProgramCommand(const CliContext& context) {
  const CliArgs& args = context.args;
  if (!args.Has("device") || !args.Has("port") || args.positionals.size() != 1) {
    return UsageError("program --device TEXT --port PORT FILE");
  }
  TDevAvailArray devices = BuildDeviceList();
  const std::vector<std::string> deviceTexts = DeviceDisplayTexts(devices);
  const int row = FindDeviceByDisplayText(devices, args.Get("device"));
  if (row < 0) return UsageError(kUnknownDeviceType.str() + args.Get("device"));
  if (row == 0) {
    std::fprintf(stderr, "%s\n", TerminalText(kDeviceNotSelected.str()).c_str());
    return kExitUsage;
  }
  const TDevAvailData& device = devices[row];
  if (device.LinkKind != kLinkSerial) {
    std::fprintf(stderr, "%s%s\n", kUsbNotYet.str().c_str(), deviceTexts[row].c_str());
    return kExitFailure;
  }
  const std::string addressText = args.Get("address");
  if (device.Rs485 == 1 && !ParseBusAddress(addressText)) {
    return UsageError(kBadAddress.str() + addressText);
  }
  std::string bad;
  const std::optional<LineSettings> line = LineSettingsFromArgs(
      args, {device.BaudIndex, device.ParityIndex, device.DataBitsIndex, device.StopBitsIndex},
      bad);
  if (!line) return UsageError(bad);

  OfferExtraPort(args.Get("port"));
  int argc = context.argc;
  QCoreApplication app(argc, context.argv);

  TComm32Kx comm(nullptr, Language);
  comm.SetStatusONifReceive(false);
  comm.SetQueueLimit(true);
  comm.SetFrameTimeOut(8000);
  std::string portName;
  for (size_t i = 1; i < comm.PortList().size(); ++i) {
    if (SameTextNoCase(comm.PortList()[i], args.Get("port"))) portName = comm.PortList()[i];
  }
  if (portName.empty()) return UsageError(kPortNotInList.str() + args.Get("port"));

  TerminalPrompt prompt(false, stdout);
  Prompt& previousPrompt = CurrentPrompt();
  SetPrompt(&prompt);
  PadBlockLogPrefixes([](std::string_view text) { return Utf8Length(text); });

  TerminalProgressBar bar;
  RunLog log;
  log.OnLineAdded = [&bar](const std::string& line) {
    bar.Hide();  // drawn again at the next change of the progress
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };

  Comm32KxRunLink serialLink(comm);
  SteadyTicks ticks;
  RunSurroundings surroundings;
  surroundings.serial = &serialLink;
  surroundings.ticks = &ticks;
  surroundings.processPendingEvents = [] { QCoreApplication::processEvents(); };
  RunEngine engine(devices, log, surroundings);

  comm.OnReceive = [&engine](TComm32Kx*, const uint8_t* bytes, uint32_t count) {
    engine.OnLinkReceive(bytes, count);
  };
  comm.OnCOMStatus = [&engine](TComm32Kx*, int32_t code, const std::string& text) {
    engine.LinkStatus(code, text);
  };
  QTimer timer;
  timer.setInterval(100);
  QObject::connect(&timer, &QTimer::timeout, [&engine] { engine.TimerTimer(); });
  timer.start();

  RunProgress progress;
  if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) == 0) signal(SIGINT, OnInterrupt);
  QSocketNotifier stopNotifier(stopPipe[0], QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, [&progress] {
    char byte;
    while (read(stopPipe[0], &byte, 1) == 1) {
    }
    progress.SetModalResult(kModalStop);
  });

  RunSelection selection;
  selection.DeviceIndex = row;
  selection.DeviceText = deviceTexts[row];
  selection.PortName = portName;
  selection.FileName = args.positionals.front();
  selection.BusAddressText = addressText;
  selection.Serial = *line;
  const std::time_t now = std::time(nullptr);
  localtime_r(&now, &selection.StartTime);

  if (engine.StartRun(selection)) {
    progress.OnChange = [&bar, &progress] { bar.Draw(progress.Values()); };
    progress.OnModalResult = [](int) {
      QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    };
    engine.AttachProgress(&progress);
    app.exec();
    bar.Hide();
    engine.ProgressClosed();
  }
  timer.stop();
  signal(SIGINT, SIG_DFL);
  close(stopPipe[0]);
  close(stopPipe[1]);
  SetPrompt(&previousPrompt);
  return engine.LastOutcome().Success ? kExitOk : kExitFailure;
}

int PortsCommand(const CliContext& context) {
  if (!context.args.positionals.empty()) return UsageError(context.args.positionals.front());
  int argc = context.argc;
  QCoreApplication app(argc, context.argv);
  TComm32Kx comm(nullptr, Language);
  for (const std::string& port : comm.PortList()) std::printf("%s\n", port.c_str());
  return kExitOk;
}

}  // namespace quorvel
