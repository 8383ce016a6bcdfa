// quorvel-cli program: one programming run over the serial link component,
// as the window runs it, with the log on stdout and a progress bar on stderr.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/text_utils.h"
#include "cli/cli_prompt.h"
#include "cli/commands.h"
#include "cli/line_args.h"
#include "cli/progress_line.h"
#include "cli/serial_run_link.h"
#include "datafile/data_file.h"
#include "run/device_types.h"
#include "run/log_texts.h"
#include "run/progress_values.h"
#include "run/run_engine.h"
#include "run/run_log.h"
#include "serial/comm32kx.h"
#include "serial/line_settings.h"
#include "serial/serial_port_io.h"

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
constexpr TextPair kAccessHint{
    "Aby uzyskać dostęp do %s, dodaj swoje konto do grupy %s, do której należy port "
    "(sudo usermod -aG %s $USER), a następnie wyloguj się i zaloguj ponownie.",
    "To get access to %s, add your account to the group %s that owns the port "
    "(sudo usermod -aG %s $USER), then log out and in again."};
constexpr TextPair kOwnerOnlyHint{
    "Aby uzyskać dostęp do %s, poproś administratora o prawo odczytu i zapisu: port "
    "jest dostępny tylko dla właściciela (%s), członkostwo w grupie %s nie wystarczy.",
    "To get access to %s, ask the administrator for read and write permission: the port "
    "is open to its owner (%s) only, membership of the group %s is not enough."};
constexpr TextPair kNoSerialPorts{"nie znaleziono portów szeregowych", "no serial ports found"};

// What the end of a run means to a script.
int ExitCodeOf(const RunOutcome& outcome) {
  switch (outcome.Cause) {
    case RunCause::Success:
      return kExitOk;
    case RunCause::RestartNotConfirmed:
      return kExitRestartNotConfirmed;
    default:
      return kExitFailure;
  }
}

// The device file's owner and group by name (by number where the system
// has no name for it).
struct DeviceOwnership {
  std::string user;
  std::string group;
  bool groupMayReadWrite = false;
};

std::optional<DeviceOwnership> OwnershipOf(const std::string& devicePath) {
  struct stat info {};
  if (stat(devicePath.c_str(), &info) != 0) return std::nullopt;
  DeviceOwnership owner{std::to_string(info.st_uid), std::to_string(info.st_gid),
                        (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)};
  std::vector<char> buffer(16384);
  passwd user{};
  passwd* userFound = nullptr;
  if (getpwuid_r(info.st_uid, &user, buffer.data(), buffer.size(), &userFound) == 0 && userFound) {
    owner.user = userFound->pw_name;
  }
  group entry{};
  group* groupFound = nullptr;
  if (getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &groupFound) == 0 &&
      groupFound) {
    owner.group = groupFound->gr_name;
  }
  return owner;
}

// A port that refuses access is nearly always a question of group
// membership, which the status text alone does not tell. A port whose group
// may not use it either needs its permissions changed instead.
void PrintAccessHint(const std::string& portName) {
  const std::string path = PortDevicePath(portName);
  // "dialout" owns serial ports on the usual systems.
  const DeviceOwnership owner =
      OwnershipOf(path).value_or(DeviceOwnership{"root", "dialout", true});
  const std::string text = owner.groupMayReadWrite
                               ? FormatText(kAccessHint.text(), {path, owner.group, owner.group})
                               : FormatText(kOwnerOnlyHint.text(), {path, owner.user, owner.group});
  std::fprintf(stderr, "%s\n", text.c_str());
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
// stdout are written above it. At the end of the run it stays as its last
// line showed it.
class TerminalProgressBar {
 public:
  TerminalProgressBar() : enabled_(isatty(STDERR_FILENO) == 1) {}

  void Draw(const ProgressValues& values) {
    if (!enabled_ || finished_) return;
    const std::string line = ProgressLine(values);
    if (line.empty()) return;
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    shown_ = true;
  }
  void Hide() {
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown_ = false;
  }
  // Leaves the final state of the run on the terminal.
  void Finish(const ProgressValues& values) {
    Draw(values);
    if (shown_) std::fputc('\n', stderr);
    shown_ = false;
    finished_ = true;
  }

 private:
  bool enabled_;
  bool shown_ = false;
  bool finished_ = false;
};

// Ctrl-C, SIGTERM (a service manager, kill) and SIGHUP (the terminal
// closed) are the Stop button: the signal handler writes to a pipe that the
// event loop watches, and the run ends as a stopped run does, its port closed.
// A second signal of the same kind ends the program at once.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
int stopPipe[2] = {-1, -1};
void OnStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t written = write(stopPipe[1], &byte, 1);
}

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (int number : kStopSignals) sigaction(number, &action, nullptr);
}

void RestoreStopSignals() {
  for (int number : kStopSignals) signal(number, SIG_DFL);
}

}  // namespace

int ProgramCommand(const CliContext& context) {
  const CliArgs& args = context.args;
  if (!args.Has("device")) return MissingArgument("--device");
  if (!args.Has("port")) return MissingArgument("--port");
  if (args.positionals.empty()) return MissingArgument("FILE");
  if (args.positionals.size() > 1) return UsageError(args.positionals[1]);
  TDevAvailArray devices = BuildDeviceList();
  const std::vector<std::string> deviceTexts = DeviceDisplayTexts(devices);
  const int row = FindDeviceByDisplayText(devices, args.Get("device"));
  if (row < 0) return UsageProblem(kUnknownDeviceType.str() + args.Get("device"));
  if (row == 0) return UsageProblem(TerminalText(kDeviceNotSelected.str()));
  const TDevAvailData& device = devices[row];
  if (device.LinkKind != kLinkSerial) {
    std::fprintf(stderr, "%s%s\n", kUsbNotYet.str().c_str(), deviceTexts[row].c_str());
    return kExitFailure;
  }
  const std::string addressText = args.Get("address");
  if (device.Rs485 == 1 && !ParseBusAddress(addressText)) {
    return UsageProblem(kBadAddress.str() + addressText);
  }
  std::string problem;
  const std::optional<LineSettings> line = LineSettingsFromArgs(
      args, {device.BaudIndex, device.ParityIndex, device.DataBitsIndex, device.StopBitsIndex},
      problem);
  if (!line) return UsageError(problem);

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
  if (portName.empty()) return UsageProblem(kPortNotInList.str() + args.Get("port"));

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
  surroundings.prompt = &prompt;
  // Continuations go to an object that dies before the engine does, so that
  // none can reach an engine that is gone.
  QObject continuations;
  surroundings.post = [&continuations](std::function<void()> continuation) {
    QMetaObject::invokeMethod(&continuations, std::move(continuation), Qt::QueuedConnection);
  };
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
  // The values draw the bar in the terminal's characters, not in pixels.
  progress.Values().SetFullWidth(kProgressBarWidth);
  if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) == 0) CatchStopSignals();
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
    // The engine puts a block into the progress when it moves on to the next
    // one, so the values lag one block behind; the last block (and with it
    // the 100 % of a whole image) is counted here, before the run's record
    // is cleared.
    const uint32_t acknowledged = engine.Record().BytesDone;
    if (acknowledged > progress.Values().Written() && acknowledged <= progress.Values().Max()) {
      progress.SetWritten(acknowledged);
    }
    bar.Finish(progress.Values());
    engine.ProgressClosed();
  }
  timer.stop();
  RestoreStopSignals();
  close(stopPipe[0]);
  close(stopPipe[1]);
  SetPrompt(&previousPrompt);
  const RunOutcome& outcome = engine.LastOutcome();
  if (outcome.Cause == RunCause::LinkError && outcome.LinkStatus == kStatusAccessDenied) {
    PrintAccessHint(portName);
  }
  if (outcome.Cause == RunCause::FileRefused && !outcome.FileProblem.Cause.empty()) {
    std::fprintf(stderr, "%s\n",
                 DataFileProblemText(selection.FileName, outcome.FileProblem).c_str());
  }
  return ExitCodeOf(outcome);
}

int PortsCommand(const CliContext& context) {
  if (!context.args.positionals.empty()) return UsageError(context.args.positionals.front());
  int argc = context.argc;
  QCoreApplication app(argc, context.argv);
  TComm32Kx comm(nullptr, Language);
  // The list's first entry is the none-name, not a port.
  const std::vector<std::string>& ports = comm.PortList();
  if (ports.size() <= 1) std::fprintf(stderr, "%s\n", kNoSerialPorts.str().c_str());
  for (size_t i = 1; i < ports.size(); ++i) std::printf("%s\n", ports[i].c_str());
  return kExitOk;
}

}  // namespace quorvel
