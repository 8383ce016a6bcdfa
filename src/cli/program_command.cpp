// quorvel-cli program: one programming run per port, each in its own
// RunSession, all on the main thread and its event loop, with the logs on
// stdout and the progress on stderr; and quorvel-cli ports.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/stop_signals.h"
#include "app/text_utils.h"
#include "cli/cli_prompt.h"
#include "cli/commands.h"
#include "cli/line_args.h"
#include "cli/listings_json.h"
#include "cli/open_files.h"
#include "cli/port_args.h"
#include "cli/progress_line.h"
#include "cli/run_console.h"
#include "cli/run_report.h"
#include "cli/trace_file.h"
#include "cli/usb_devices.h"
#include "datafile/data_file.h"
#include "datafile/file_checks.h"
#include "datafile/utilities.h"
#include "run/device_types.h"
#include "run/line_settings.h"
#include "run/log_texts.h"
#include "run/run_engine.h"
#include "serial/comm32kx.h"
#include "serial/port_handover.h"
#include "serial/port_list_service.h"
#include "session/run_session.h"
#include "usb/device_list.h"
#include "usb/ftdi_usb.h"

namespace quorvel {
namespace {

constexpr TextPair kUnknownDeviceType{"Nieznany typ urządzenia: ", "Unknown device type: "};
constexpr TextPair kDeviceNotSelected{"BŁĄD\r\nNie wybrano typu urządzenia.",
                                      "ERROR\r\nDevice not selected."};
constexpr TextPair kBadAddress{"Adres urządzenia na magistrali RS-485 (1..65534): ",
                               "Bus address of the RS-485 device (1..65534): "};
constexpr TextPair kPortNotInList{"Nie ma takiego portu: ", "No such port: "};
constexpr TextPair kReportNotWritten{"Nie zapisano raportu: ", "Report not written: "};
constexpr TextPair kTraceNotWritten{"Nie zapisano śladu transmisji: ", "Trace not written: "};
constexpr TextPair kTraceIsInput{"--trace %s (to ten sam plik co %s)",
                                 "--trace %s (the same file as %s)"};
constexpr TextPair kTooManyFiles{
    "Liczba portów: %s; potrzeba około %s otwartych plików, a limit wynosi %s (ulimit -n)",
    "%s ports need about %s open files; the limit is %s (ulimit -n)"};
constexpr TextPair kReportIsInput{"--report %s (to ten sam plik co %s)",
                                  "--report %s (the same file as %s)"};
constexpr TextPair kNotAVersion{
    "--skip-version %s (to nie wersja: liczby rozdzielone kropkami, np. 1.4.0012)",
    "--skip-version %s (not a version: numbers separated by dots, such as 1.4.0012)"};
constexpr TextPair kSkipNotApplicable{
    "--skip-version: %s nie podaje wersji oprogramowania (nie ma zapytania o identyfikację); "
    "każde urządzenie zostanie zaprogramowane",
    "--skip-version: %s does not report its firmware version (it has no identify request); "
    "every instrument is programmed"};
constexpr TextPair kNoSerialPorts{"nie znaleziono portów szeregowych", "no serial ports found"};
constexpr TextPair kNoUsbDevices{"nie znaleziono konwerterów USB dla tego typu urządzenia",
                                 "no USB converters found for this device type"};

// Whether both names name one file, whatever the spelling or the links on
// the way; false when either is not there.
bool SameFile(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Whether both descriptors are one terminal (the log and the progress then
// share its lines).
bool OnSameTerminal(int a, int b) {
  struct stat first {};
  struct stat second {};
  return isatty(a) == 1 && isatty(b) == 1 && fstat(a, &first) == 0 && fstat(b, &second) == 0 &&
         first.st_rdev == second.st_rdev;
}

// What the end of a run means to a script.
int ExitCodeOf(const RunOutcome& outcome) {
  switch (outcome.Cause) {
    case RunCause::Success:
    // Nothing to do is no failure; the report and the table tell it apart.
    case RunCause::AlreadyCurrent:
      return kExitOk;
    case RunCause::RestartNotConfirmed:
      return kExitRestartNotConfirmed;
    default:
      return kExitFailure;
  }
}

// A version as an instrument's user application reports it: numbers
// separated by dots, perhaps after a "V", each one CompareVerArray can
// compare.
bool IsVersionText(const std::string& text) {
  const bool versionCharacters = std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '.' || c == 'V' || c == 'v';
  });
  return versionCharacters && VersionParses(text);
}

// A path the process does not list yet (a virtual port) is added to this
// process's port list; one listed already is not added twice.
void OfferExtraPort(const std::string& port) {
  if (port.find('/') == std::string::npos) return;
  PortListService& service = PortListService::Instance();
  const std::vector<std::string>& listed = service.Ports();
  if (std::find(listed.begin(), listed.end(), port) == listed.end()) service.AddExtraPort(port);
}

// What the command's link components queued for the session bus (a port or
// converter let go) reaches the bus before the process ends.
void LetTheBusSendItsMessages() {
  FlushSessionBus();
}

// The serial ports as the window's port list shows them (without its
// none-name).
std::vector<std::string> ListedPorts() {
  return PortListService::Instance().Ports();
}

// Ctrl-C, SIGTERM (a service manager, kill) and SIGHUP (the terminal
// closed) are the Stop button of every run: the signal handler writes to a
// pipe that the event loop watches, and each run ends as a stopped run does,
// its port closed. A second signal of the same kind ends the program at once.
// Caught from before the first run until the report is written, so that a
// first signal after the runs ended does not end the program half-way
// through its report.
class StopSignalWatch {
 public:
  StopSignalWatch() : signals_({SIGINT, SIGTERM, SIGHUP}) {
    if (signals_.Fd() < 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(signals_.Fd(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
      signals_.Drain();
      if (onStop_) onStop_();
    });
  }
  StopSignalWatch(const StopSignalWatch&) = delete;
  StopSignalWatch& operator=(const StopSignalWatch&) = delete;

  // What a signal does from now on (nothing: it is taken in and ignored).
  void OnStop(std::function<void()> onStop) { onStop_ = std::move(onStop); }

 private:
  StopSignals signals_;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::function<void()> onStop_;
};

// The final message of a run, printed as the run's lines are.
class ConsolePrompt final : public Prompt {
 public:
  ConsolePrompt(RunConsole& console, size_t run) : console_(console), run_(run) {}
  bool MsgBox(const std::string& text, const std::string& caption, uint32_t) override {
    console_.Line(run_, (caption.empty() ? "" : caption + ": ") + TerminalText(text));
    return true;
  }
  // A run asks nothing; were it to, nobody is there to answer.
  bool AskYesNo(const std::string&, const std::string&, uint32_t, bool) override { return false; }

 private:
  RunConsole& console_;
  size_t run_;
};

// What the user chose, the same for every port.
struct ProgramChoice {
  TDevAvailArray devices;
  int row = 0;
  std::string deviceText;
  std::string fileName;
  std::string addressText;
  LineSettings line;
  FrameGapChoice frameGap;
  // USB rows: the converters by their entries; the filter of the lists.
  bool usb = false;
  std::string usbNames;
  bool serviceMode = false;
  // The version named as current (--skip-version); empty: none.
  std::string skipVersion;
};

InstrumentResult ResultOf(const std::string& port, const std::string& device,
                          const RunSession& session) {
  const RunOutcome& outcome = session.Outcome();
  InstrumentResult result;
  result.port = port;
  result.device = device;
  result.facts = session.Facts();
  result.cause = outcome.Cause;
  result.exitCode = ExitCodeOf(outcome);
  result.message = TerminalText(outcome.Message);
  result.linkProblem = outcome.LinkProblem;
  return result;
}

// Runs one session per port side by side until all have ended; the results
// in the order of the ports.
std::vector<InstrumentResult> ProgramAll(const ProgramChoice& choice,
                                         const std::vector<std::string>& ports,
                                         StopSignalWatch& stopSignals, TraceFile* trace) {
  // One read of the data file for every port: each instrument gets the same
  // bytes. A refused file's message is said once; each run then ends with
  // the refusal as its cause.
  TerminalPrompt filePrompt(false, stdout);
  const std::shared_ptr<const DataFileContents> file =
      ReadFileForRuns(choice.fileName, &filePrompt);
  RunConsole::Drawing drawing;
  drawing.shown = isatty(STDERR_FILENO) == 1;
  drawing.linesOnSameTerminal = OnSameTerminal(STDOUT_FILENO, STDERR_FILENO);
  // The timer ends with the console, before the event loop runs again: no
  // drawing falls due once the console is gone.
  QTimer drawTimer;
  drawTimer.setSingleShot(true);
  drawing.callLater = [&drawTimer](std::chrono::milliseconds delay) { drawTimer.start(delay); };
  RunConsole console(ports, stdout, stderr, std::move(drawing));
  QObject::connect(&drawTimer, &QTimer::timeout, [&console] { console.DrawDue(); });
  std::vector<std::unique_ptr<ConsolePrompt>> prompts;
  std::vector<std::unique_ptr<RunSession>> sessions;
  size_t running = 0;
  for (size_t i = 0; i < ports.size(); ++i) {
    prompts.push_back(std::make_unique<ConsolePrompt>(console, i));
    auto session = std::make_unique<RunSession>(choice.devices);
    RunSession* s = session.get();
    s->SetPrompt(prompts.back().get());
    s->SetLineSink([&console, i](const std::string& line) { console.Line(i, line); });
    // The values draw the bar in the terminal's characters, not in pixels.
    s->SetProgressWidth(kProgressBarWidth);
    s->SetFrameGap(choice.frameGap);
    s->SetProgressSink(
        [&console, i](const ProgressValues& values) { console.Progress(i, values); });
    if (trace != nullptr) {
      s->SetTrafficSink([trace, i, port = ports[i]](TrafficDirection direction,
                                                    std::span<const uint8_t> bytes) {
        trace->Add(i, port, direction, bytes);
      });
    }
    QObject::connect(s, &RunSession::progressEnded,
                     [&console, i, s] { console.FinishProgress(i, s->Progress()); });
    QObject::connect(s, &RunSession::finished, [&running, &console] {
      if (--running > 0) return;
      console.EndProgress();
      QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    sessions.push_back(std::move(session));
  }

  stopSignals.OnStop([&sessions] {
    for (const auto& session : sessions) session->Stop();
  });

  // Each session's USB link builds its own device list first; a run picks
  // its converter by the location ID, which every list shares.
  if (choice.usb) {
    std::vector<TFtdiUSB*> lists;
    for (const auto& session : sessions) {
      session->Usb().SetDevNameExpected(choice.usbNames);
      session->Usb().SetServiceMode(choice.serviceMode);
      lists.push_back(&session->Usb());
    }
    WaitForDeviceLists(lists);
  }

  for (size_t i = 0; i < ports.size(); ++i) {
    RunSelection selection;
    if (choice.usb) {
      // A converter gone meanwhile leaves index 0: the run fails on its link.
      selection.PortIndex =
          std::max(0, sessions[i]->Usb().FindEntry(std::string(usb::EntryName(ports[i]))));
    }
    // The log names a converter by its display text.
    const std::string portText =
        choice.usb ? std::string(usb::EntryDisplayText(ports[i])) : ports[i];
    selection.DeviceIndex = choice.row;
    selection.DeviceText = choice.deviceText;
    selection.PortName = portText;
    selection.FileName = choice.fileName;
    selection.BusAddressText = choice.addressText;
    selection.Serial = choice.line;
    selection.SkipVersion = choice.skipVersion;
    const std::time_t now = std::time(nullptr);
    localtime_r(&now, &selection.StartTime);
    if (sessions[i]->Start(selection, file)) ++running;
  }
  if (running > 0) {
    qApp->exec();
  } else {
    console.EndProgress();
  }
  stopSignals.OnStop(nullptr);

  std::vector<InstrumentResult> results;
  for (size_t i = 0; i < ports.size(); ++i) {
    const std::string prefix = console.Prefix(i);
    if (const std::optional<std::string> advice = sessions[i]->AccessAdvice()) {
      std::fprintf(stderr, "%s%s\n", prefix.c_str(), PrintableText(*advice).c_str());
    }
    results.push_back(ResultOf(ports[i], choice.deviceText, *sessions[i]));
  }
  // Where and why the file was refused, once for all its runs.
  const RunOutcome& first = sessions.front()->Outcome();
  if (first.Cause == RunCause::FileRefused && !first.FileProblem.Cause.empty()) {
    std::fprintf(stderr, "%s\n",
                 PrintableText(DataFileProblemText(choice.fileName, first.FileProblem)).c_str());
  }
  return results;
}

}  // namespace

int ProgramCommand(const CliContext& context) {
  const CliArgs& args = context.args;
  if (!args.Has("device")) return MissingArgument("--device");
  std::string problem;
  const std::optional<std::vector<std::string>> wanted = PortsFromArgs(args, problem);
  if (!wanted) return problem.empty() ? MissingArgument("--port") : UsageError(problem);
  if (args.positionals.empty()) return MissingArgument("FILE");
  if (args.positionals.size() > 1) return UsageError(args.positionals[1]);
  ProgramChoice choice;
  if (args.Has("skip-version")) {
    choice.skipVersion = args.Get("skip-version");
    if (!IsVersionText(choice.skipVersion)) {
      return UsageError(FormatText(kNotAVersion.text(), {choice.skipVersion}));
    }
  }
  choice.devices = BuildDeviceList();
  const std::vector<std::string> deviceTexts = DeviceDisplayTexts(choice.devices);
  choice.row = FindDeviceByDisplayText(choice.devices, args.Get("device"));
  if (choice.row < 0) return UsageProblem(kUnknownDeviceType.str() + args.Get("device"));
  if (choice.row == 0) return UsageProblem(TerminalText(kDeviceNotSelected.str()));
  const TDevAvailData& device = choice.devices[choice.row];
  choice.deviceText = deviceTexts[choice.row];
  choice.usb = device.LinkKind == TLinkKind::Usb;
  choice.usbNames = device.UsbNames;
  choice.serviceMode = args.Flag("service");
  choice.addressText = args.Get("address");
  if (device.Rs485 == 1 && !ParseBusAddress(choice.addressText)) {
    return UsageProblem(kBadAddress.str() + choice.addressText);
  }
  const std::optional<LineSettings> line = LineSettingsFromArgs(
      args, {device.BaudIndex, device.ParityIndex, device.DataBitsIndex, device.StopBitsIndex},
      problem);
  if (!line) return UsageError(problem);
  choice.line = *line;
  const std::optional<FrameGapChoice> frameGap = FrameGapFromArgs(args, problem);
  if (!frameGap) return UsageError(problem);
  choice.frameGap = *frameGap;
  choice.fileName = args.positionals.front();
  // Said, not refused: a script may name a version for every type it
  // programs.
  if (!choice.skipVersion.empty() && !AddressesApplication(device)) {
    std::fprintf(stderr, "%s\n",
                 FormatText(kSkipNotApplicable.text(), {choice.deviceText}).c_str());
  }
  // The trace replaces the file under its name when the runs end: never the
  // data file or a ports file (a report is refused as the same file before).
  if (args.Has("trace")) {
    std::vector<std::string> inputs{choice.fileName};
    for (const CliArg& arg : args.given) {
      if (arg.kind == CliArg::Kind::Option && arg.name == "ports-from") inputs.push_back(arg.value);
    }
    for (const std::string& input : inputs) {
      if (SameFile(args.Get("trace"), input)) {
        return UsageError(FormatText(kTraceIsInput.text(), {args.Get("trace"), input}));
      }
    }
  }
  // Said before any port is opened: a run that finds no file left would fail
  // on its port without a word of the cause.
  const uint64_t filesNeeded = FilesNeeded(wanted->size(), choice.usb);
  const uint64_t fileLimit = RaiseOpenFileLimit();
  if (filesNeeded > fileLimit) {
    return UsageProblem(FormatText(
        kTooManyFiles.str(),
        {std::to_string(wanted->size()), std::to_string(filesNeeded), std::to_string(fileLimit)}));
  }

  int argc = context.argc;
  QCoreApplication app(argc, context.argv);
  StopSignalWatch stopSignals;
  std::vector<std::string> ports;
  if (choice.usb) {
    // A converter by its display text, its location ID or its whole entry.
    const std::vector<std::string> entries = ListUsbDevices(choice.usbNames, choice.serviceMode);
    for (const std::string& port : *wanted) {
      const std::string entry = FindUsbEntry(entries, port);
      if (entry.empty()) return UsageProblem(kPortNotInList.str() + port);
      ports.push_back(entry);
    }
  }
  if (!choice.usb) {
    for (const std::string& port : *wanted) OfferExtraPort(port);
  }
  const std::vector<std::string> listed = choice.usb ? std::vector<std::string>{} : ListedPorts();
  for (const std::string& port : choice.usb ? std::vector<std::string>{} : *wanted) {
    // A port is its exact path: with /dev/x/p1 and /dev/x/P1 both listed,
    // each names its own instrument.
    if (std::find(listed.begin(), listed.end(), port) == listed.end()) {
      return UsageProblem(kPortNotInList.str() + port);
    }
    ports.push_back(port);
  }

  std::unique_ptr<TraceFile> trace;
  if (args.Has("trace")) {
    // Said before the runs start; the runs go on without it.
    trace = std::make_unique<TraceFile>(args.Get("trace"), ports.size(),
                                        choice.devices[choice.row]);
    if (!trace->Good()) {
      std::fprintf(stderr, "%s%s: %s\n", kTraceNotWritten.str().c_str(),
                   PrintableText(args.Get("trace")).c_str(), trace->Failure().c_str());
      trace.reset();
    }
  }
  const std::vector<InstrumentResult> results =
      ProgramAll(choice, ports, stopSignals, trace.get());
  if (trace && !trace->Finish()) {
    std::fprintf(stderr, "%s%s: %s\n", kTraceNotWritten.str().c_str(),
                 PrintableText(args.Get("trace")).c_str(), trace->Failure().c_str());
  }
  LetTheBusSendItsMessages();
  if (results.size() > 1) {
    std::printf("\n%s%s\n", SummaryTable(results).c_str(), SummaryCounts(results).c_str());
  }
  std::fflush(stdout);
  if (args.Has("report")) {
    std::string error;
    if (!ReplaceFileContents(args.Get("report"), ReportJson(results), &error)) {
      std::fprintf(stderr, "%s%s: %s\n", kReportNotWritten.str().c_str(),
                   PrintableText(args.Get("report")).c_str(), error.c_str());
      return kExitFailure;
    }
  }
  std::vector<int> codes;
  for (const InstrumentResult& result : results) codes.push_back(result.exitCode);
  return CombinedExitCode(codes);
}

int ClaimReportFiles(const std::vector<CliArg>& arguments) {
  std::vector<std::string> reports;
  std::vector<std::string> inputs;
  for (const CliArg& arg : arguments) {
    if (arg.kind == CliArg::Kind::Option && arg.name == "report") {
      reports.push_back(arg.value);
    } else if (arg.kind == CliArg::Kind::Option || arg.kind == CliArg::Kind::Positional) {
      inputs.push_back(arg.value);
    }
  }
  for (const std::string& report : reports) {
    for (const std::string& input : inputs) {
      if (SameFile(report, input)) {
        return UsageError(FormatText(kReportIsInput.text(), {report, input}));
      }
    }
  }
  for (const std::string& report : reports) {
    std::string reason;
    if (!ClearFileForReplacement(report, &reason)) {
      return UsageError("--report " + report + " (" + reason + ")");
    }
  }
  return kExitOk;
}

int PortsCommand(const CliContext& context) {
  const CliArgs& args = context.args;
  if (!args.positionals.empty()) return UsageError(args.positionals.front());
  // A USB row lists the converters it accepts; --service every converter.
  std::optional<std::string> usbNames;
  if (args.Has("device")) {
    const TDevAvailArray devices = BuildDeviceList();
    const int row = FindDeviceByDisplayText(devices, args.Get("device"));
    if (row < 0) return UsageProblem(kUnknownDeviceType.str() + args.Get("device"));
    if (row > 0 && devices[row].LinkKind == TLinkKind::Usb) usbNames = devices[row].UsbNames;
  }
  if (args.Flag("service")) usbNames = usbNames.value_or(std::string());
  int argc = context.argc;
  QCoreApplication app(argc, context.argv);
  if (usbNames) {
    const std::vector<std::string> entries = ListUsbDevices(*usbNames, args.Flag("service"));
    if (entries.empty()) std::fprintf(stderr, "%s\n", kNoUsbDevices.str().c_str());
    if (args.Flag("json")) {
      PrintUsbConvertersJson(entries);
    } else {
      for (const std::string& entry : entries) std::printf("%s\n", entry.c_str());
    }
    std::fflush(stdout);
    LetTheBusSendItsMessages();
    return kExitOk;
  }
  const std::vector<std::string> ports = ListedPorts();
  if (ports.empty()) std::fprintf(stderr, "%s\n", kNoSerialPorts.str().c_str());
  if (args.Flag("json")) {
    PrintSerialPortsJson(ports);
    return kExitOk;
  }
  for (const std::string& port : ports) std::printf("%s\n", port.c_str());
  return kExitOk;
}

}  // namespace quorvel
