// RunSession in this process's event loop against quorvel-sim instances on
// pseudo-terminals: two runs side by side keep their logs, prompts, device
// rows, facts and outcomes apart; Stop ends a run as the Stop button does;
// runs that cannot begin end at once with their cause; a port that refuses
// access gets the advice on how to get it.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/prompt.h"
#include "datafile/data_file.h"
#include "datafile/hex_file.h"
#include "process_resources.h"
#include "process_runner.h"
#include "refused_port.h"
#include "run/device_types.h"
#include "serial/comm32kx.h"
#include "serial/port_list_service.h"
#include "session/access_advice.h"
#include "session/run_session.h"
#include "session/serial_run_link.h"
#include "usb/ftdi_usb.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

// Every message and question a prompt got.
class RecordingPrompt final : public Prompt {
 public:
  bool MsgBox(const std::string& text, const std::string&, uint32_t) override {
    messages.push_back(text);
    return true;
  }
  bool AskYesNo(const std::string& text, const std::string&, uint32_t, bool) override {
    questions.push_back(text);
    return false;
  }
  std::vector<std::string> messages;
  std::vector<std::string> questions;
};

std::string UserName(uid_t uid) {
  const passwd* entry = getpwuid(uid);
  return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

// One host of a session: its own prompt and the lines its sink got.
struct Host {
  explicit Host(const TDevAvailArray& devices) : session(devices) {
    session.SetPrompt(&prompt);
    session.SetLineSink([this](const std::string& line) { lines.push_back(line); });
    QObject::connect(&session, &RunSession::finished, [this] { ++finishedCount; });
  }
  bool LogHas(const std::string& part) const {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos;
    });
  }
  std::string Log() const {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
  }

  RecordingPrompt prompt;
  std::vector<std::string> lines;
  int finishedCount = 0;
  RunSession session;
};

class RunSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPrompt(&processPrompt_);
    dir_ = fs::temp_directory_path() /
           ("quorvel-session-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    devices_ = BuildDeviceList();
  }
  void TearDown() override {
    sims_.clear();
    fs::remove_all(dir_);
    SetPrompt(nullptr);
    for (const std::string& port : extraPorts_) PortListService::Instance().RemoveExtraPort(port);
    // Nothing of any run reached the process-wide prompt.
    EXPECT_TRUE(processPrompt_.messages.empty()) << processPrompt_.messages.front();
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // A virtual port for the link components, taken away again after the test.
  void AddExtraPort(const std::string& port) {
    PortListService::Instance().AddExtraPort(port);
    extraPorts_.push_back(port);
  }

  // Starts a simulated instrument behind the link `name`; the port is offered
  // to the link components made after this.
  std::string StartSim(const std::string& name, std::vector<std::string> args) {
    const std::string port = Path(name);
    args.insert(args.begin(), {QUORVEL_SIM, "--link", port, "--save", port + ".hex"});
    sims_.push_back(std::make_unique<BackgroundProcess>(args));
    EXPECT_FALSE(sims_.back()->FirstLine().empty());
    AddExtraPort(port);
    return port;
  }

  RunSelection Selection(const std::string& device, const std::string& port,
                         const std::string& file, uint8_t baud = br115200) const {
    RunSelection selection;
    selection.DeviceIndex = FindDeviceByDisplayText(devices_, device);
    selection.DeviceText = device;
    selection.PortName = port;
    selection.FileName = file;
    const TDevAvailData& row = devices_[static_cast<size_t>(selection.DeviceIndex)];
    selection.Serial = {baud, row.ParityIndex, row.DataBitsIndex, row.StopBitsIndex};
    return selection;
  }

  // Runs the event loop until every host's run has finished (or a minute).
  static void RunUntilFinished(const std::vector<Host*>& hosts) {
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::quit(); });
    limit.start(90'000);
    for (Host* host : hosts) {
      QObject::connect(&host->session, &RunSession::finished, [hosts] {
        if (std::all_of(hosts.begin(), hosts.end(), [](Host* h) { return h->finishedCount > 0; })) {
          QCoreApplication::quit();
        }
      });
    }
    QCoreApplication::exec();
  }

  static std::string SampleHex() {
    return std::string(QUORVEL_SOURCE_DIR) + "/samples/sample_firmware.hex";
  }

  RecordingPrompt processPrompt_;
  fs::path dir_;
  TDevAvailArray devices_;
  std::vector<std::unique_ptr<BackgroundProcess>> sims_;
  std::vector<std::string> extraPorts_;
};

TEST_F(RunSessionTest, TwoRunsSideBySideKeepEverythingApart) {
  // A: an M-530 entered through its user application, which hands over its
  // access bytes for the enter-bootloader request. B: a KV-310 whose
  // bootloader reports another device (GRV-30x, code 7).
  const std::string portA =
      StartSim("a.port", {"--device", "M-530", "--mode", "app", "--baud", "115200"});
  const std::string portB =
      StartSim("b.port", {"--device", "KV-310", "--baud", "115200", "--device-code", "7",
                          "--serial", "4321/8765", "--boot-version", "3.10"});
  const int m530 = FindDeviceByDisplayText(devices_, "M-530");
  ASSERT_GT(m530, 0);
  const std::vector<uint8_t> pristineRequest = devices_[m530].BootRequestData;

  Host a(devices_);
  Host b(devices_);
  bool bEndedWhileARan = false;
  QObject::connect(&b.session, &RunSession::finished,
                   [&] { bEndedWhileARan = a.session.Running(); });
  ASSERT_TRUE(a.session.Start(Selection("M-530", portA, SampleHex())));
  ASSERT_TRUE(b.session.Start(Selection("KV-310", portB, SampleHex())));
  EXPECT_TRUE(a.session.Running());
  EXPECT_TRUE(b.session.Running());
  RunUntilFinished({&a, &b});

  // Outcomes, each once.
  EXPECT_EQ(a.finishedCount, 1);
  EXPECT_EQ(b.finishedCount, 1);
  // Serial runs need no USB link component, and made none.
  EXPECT_FALSE(a.session.HasOwnUsb());
  EXPECT_FALSE(b.session.HasOwnUsb());
  EXPECT_TRUE(bEndedWhileARan) << "the runs did not overlap";
  EXPECT_EQ(a.session.Outcome().Cause, RunCause::Success) << a.Log();
  EXPECT_EQ(b.session.Outcome().Cause, RunCause::DeviceMismatch) << b.Log();

  // Each prompt got its own run's final message and nothing else.
  ASSERT_EQ(a.prompt.messages.size(), 1u) << a.Log();
  ASSERT_EQ(b.prompt.messages.size(), 1u) << b.Log();
  EXPECT_NE(a.prompt.messages[0].find("M-530 no 1234/5678 programming was successful."),
            std::string::npos)
      << a.prompt.messages[0];
  EXPECT_NE(b.prompt.messages[0].find("unsuccessful"), std::string::npos);
  EXPECT_NE(b.prompt.messages[0].find("Incompatible device types"), std::string::npos)
      << b.prompt.messages[0];
  EXPECT_TRUE(a.prompt.questions.empty());
  EXPECT_TRUE(b.prompt.questions.empty());

  // Each sink got exactly its session's log, which names its own port and
  // device only.
  EXPECT_EQ(a.lines, a.session.Log().Lines());
  EXPECT_EQ(b.lines, b.session.Log().Lines());
  EXPECT_TRUE(a.LogHas("Selected device type: M-530"));
  EXPECT_TRUE(a.LogHas("Comm port: " + portA));
  EXPECT_TRUE(a.LogHas("- Connection established: device protocol"));
  EXPECT_FALSE(a.LogHas(portB));
  EXPECT_FALSE(a.LogHas("KV-310"));
  EXPECT_FALSE(a.LogHas("Incompatible"));
  EXPECT_FALSE(a.LogHas("4321/8765"));
  EXPECT_TRUE(b.LogHas("Selected device type: KV-310"));
  EXPECT_TRUE(b.LogHas("Comm port: " + portB));
  EXPECT_TRUE(b.LogHas("4321/8765  3.10"));
  EXPECT_FALSE(b.LogHas(portA));
  EXPECT_FALSE(b.LogHas("M-530"));
  EXPECT_FALSE(b.LogHas("device protocol"));
  EXPECT_FALSE(b.LogHas("Writing data block"));

  // The facts each instrument reported.
  const RunFacts& factsA = a.session.Facts();
  EXPECT_TRUE(factsA.InfoReported);
  EXPECT_EQ(factsA.SerialPart1, 1234);
  EXPECT_EQ(factsA.SerialPart2, 5678);
  EXPECT_EQ(factsA.DeviceCode, 6);
  EXPECT_EQ(factsA.BootVersion, "2.05");
  EXPECT_GT(factsA.BytesTotal, 0u);
  EXPECT_EQ(factsA.BytesWritten, factsA.BytesTotal);
  EXPECT_EQ(a.session.Progress().Written(), a.session.Progress().Max());
  const RunFacts& factsB = b.session.Facts();
  EXPECT_TRUE(factsB.InfoReported);
  EXPECT_EQ(factsB.SerialPart1, 4321);
  EXPECT_EQ(factsB.SerialPart2, 8765);
  EXPECT_EQ(factsB.DeviceCode, 7);
  EXPECT_EQ(factsB.BootVersion, "3.10");
  EXPECT_EQ(factsB.BytesWritten, 0u);
  EXPECT_EQ(b.session.Progress().Written(), 0u);

  // The start bytes the M-530 handed over stayed with A's run (its
  // instrument accepted them: A succeeded); no device row took them, not
  // A's, not B's, not the process's list.
  EXPECT_EQ(factsA.StartBytes.size(), 2u);
  EXPECT_TRUE(factsB.StartBytes.empty());
  EXPECT_EQ(a.session.Devices()[m530].BootRequestData, pristineRequest);
  EXPECT_EQ(b.session.Devices()[m530].BootRequestData, pristineRequest);
  EXPECT_EQ(BuildDeviceList()[m530].BootRequestData, pristineRequest);
  EXPECT_EQ(devices_[m530].BootRequestData, pristineRequest);

  // A's instrument holds the file; B's got nothing.
  ASSERT_EQ(sims_[0]->Stop(), 0);
  ASSERT_EQ(sims_[1]->Stop(), 0);
  FirmwareImage expected;
  FirmwareImage received;
  ASSERT_EQ(ReadHexFile(SampleHex(), expected), 0);
  ASSERT_EQ(ReadHexFile(portA + ".hex", received), 0);
  EXPECT_EQ(received.ImageStart, expected.ImageStart);
  ASSERT_GE(received.ImageData.size(), expected.ImageData.size());
  EXPECT_TRUE(
      std::equal(expected.ImageData.begin(), expected.ImageData.end(), received.ImageData.begin()));
  FirmwareImage untouched;
  EXPECT_TRUE(ReadHexFile(portB + ".hex", untouched) != 0 || untouched.ImageSize() == 0);
}

TEST_F(RunSessionTest, StopEndsTheRunAsTheStopButton) {
  const std::string port = StartSim("port", {"--device", "KV-310"});  // 9600: many seconds
  Host host(devices_);
  int acknowledged = 0;
  // Stopped once the third block is acknowledged: two blocks are counted.
  host.session.SetLineSink([&host, &acknowledged](const std::string& line) {
    host.lines.push_back(line);
    if (line.find("- Writing data block: ") != std::string::npos && ++acknowledged == 3) {
      host.session.Stop();
    }
  });
  bool progressEndedFirst = false;
  QObject::connect(&host.session, &RunSession::progressEnded,
                   [&] { progressEndedFirst = host.prompt.messages.empty(); });
  ASSERT_TRUE(host.session.Start(Selection("KV-310", port, SampleHex(), br009600)));
  RunUntilFinished({&host});
  EXPECT_EQ(host.finishedCount, 1);
  EXPECT_FALSE(host.session.Running());
  EXPECT_EQ(host.session.Outcome().Cause, RunCause::UserStop) << host.Log();
  EXPECT_TRUE(host.LogHas("- User abort"));
  EXPECT_TRUE(progressEndedFirst);
  ASSERT_EQ(host.prompt.messages.size(), 1u);
  EXPECT_NE(host.prompt.messages[0].find("User abort."), std::string::npos);
  EXPECT_EQ(host.session.Facts().BytesWritten, 2 * 256u);
  EXPECT_LT(host.session.Facts().BytesWritten, host.session.Facts().BytesTotal);

  // The port is free again: the same session runs it to the end.
  host.session.SetLineSink([&host](const std::string& line) { host.lines.push_back(line); });
  host.lines.clear();
  ASSERT_TRUE(host.session.Start(Selection("KV-310", port, SampleHex(), br009600)));
  host.session.Stop();
  RunUntilFinished({&host});
  EXPECT_EQ(host.finishedCount, 2);
  EXPECT_EQ(host.session.Outcome().Cause, RunCause::UserStop) << host.Log();
  EXPECT_FALSE(host.LogHas("Busy"));
}

TEST_F(RunSessionTest, RunsThatCannotBeginEndAtOnce) {
  std::ofstream(Path("regular")) << "not a port\n";
  AddExtraPort(Path("missing"));
  AddExtraPort(Path("regular"));
  struct Case {
    std::string name;
    std::string device;
    std::string port;
    std::string file;
    RunCause cause;
    std::string message;
  };
  const Case cases[] = {
      {"missing data file", "KV-310", Path("regular"), Path("nothing.hex"), RunCause::FileRefused,
       "Device programming was unsuccessful."},
      {"missing port", "KV-310", Path("missing"), SampleHex(), RunCause::LinkError,
       "Comm port: Port not found."},
      {"not a port", "KV-310", Path("regular"), SampleHex(), RunCause::LinkError,
       "Comm port: Port COM error."},
      {"USB row without a converter", "TRP-40 .USB", "none", SampleHex(), RunCause::LinkError,
       "USB device: Port USB error."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Host host(devices_);
    RunSelection selection = Selection(c.device, c.port, c.file);
    ASSERT_GT(selection.DeviceIndex, 0);
    EXPECT_FALSE(host.session.Start(selection));
    EXPECT_FALSE(host.session.Running());
    EXPECT_EQ(host.session.Outcome().Cause, c.cause) << host.Log();
    // A refused data file's own message comes first, through the run's
    // prompt like everything else of the run; then the final message.
    ASSERT_EQ(host.prompt.messages.size(), c.cause == RunCause::FileRefused ? 2u : 1u);
    EXPECT_NE(host.prompt.messages.back().find(c.message), std::string::npos)
        << host.prompt.messages.back();
    // Nothing follows: no finished signal, now or from the event loop.
    QCoreApplication::processEvents();
    EXPECT_EQ(host.finishedCount, 0);
  }
}

// A port the user may not open ends the run with what to do about it: the
// session tells it (AccessAdvice) after every such run, and puts it below
// the final message for a host that wants it there. No other end has any.
TEST_F(RunSessionTest, PortThatRefusesAccessGetsTheAccessAdvice) {
  const std::optional<std::string> refused = PortThatRefusesAccess();
  if (!refused) GTEST_SKIP() << "no file here refuses to be opened with EACCES";
  AddExtraPort(*refused);
  AddExtraPort(Path("missing"));
  struct Case {
    std::string port;
    bool inMessage;
    bool advised;
  };
  const Case cases[] = {
      {*refused, false, true},
      {*refused, true, true},
      {Path("missing"), true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port + (c.inMessage ? " advice in the message" : ""));
    Host host(devices_);
    host.session.SetAccessAdviceInMessage(c.inMessage);
    EXPECT_FALSE(host.session.Start(Selection("KV-310", c.port, SampleHex())));
    EXPECT_EQ(host.session.Outcome().Cause, RunCause::LinkError) << host.Log();
    const std::optional<std::string> advice = host.session.AccessAdvice();
    ASSERT_EQ(advice.has_value(), c.advised);
    ASSERT_EQ(host.prompt.messages.size(), 1u);
    const std::string& message = host.prompt.messages.front();
    if (!c.advised) {
      EXPECT_EQ(message.find("To get access"), std::string::npos) << message;
      continue;
    }
    EXPECT_EQ(*advice, PortAccessAdvice(c.port));
    EXPECT_EQ(advice->rfind("To get access to " + c.port + ", ", 0), 0u) << *advice;
    EXPECT_NE(message.find("Comm port: Access denied"), std::string::npos) << message;
    const std::string ending = "\r\n\r\n" + *advice;
    const bool ends = message.size() > ending.size() &&
                      message.compare(message.size() - ending.size(), ending.size(), ending) == 0;
    EXPECT_EQ(ends, c.inMessage) << message;
  }
}

// The advice follows the port's permissions: the group that may use it is
// the one to join; a port open to its owner only needs the administrator;
// a port that cannot be looked at is taken for the usual dialout one.
TEST_F(RunSessionTest, AccessAdviceFollowsThePortsPermissions) {
  const std::string port = Path("port");
  std::ofstream(port) << "";
  struct stat info {};
  ASSERT_EQ(stat(port.c_str(), &info), 0);
  const group* entry = getgrgid(info.st_gid);
  const std::string group = entry != nullptr ? entry->gr_name : std::to_string(info.st_gid);
  struct Case {
    std::string path;
    mode_t mode;
    std::string advice;
  };
  const Case cases[] = {
      {port, 0660,
       "To get access to " + port + ", add your account to the group " + group +
           " that owns the port (sudo usermod -aG " + group + " $USER), then log out and in again."},
      {port, 0600,
       "To get access to " + port +
           ", ask the administrator for read and write permission: the port is open to its owner (" +
           UserName(info.st_uid) + ") only, membership of the group " + group +
           " is not enough."},
      {Path("missing"), 0,
       "To get access to " + Path("missing") +
           ", add your account to the group dialout that owns the port (sudo usermod -aG dialout "
           "$USER), then log out and in again."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    if (c.path == port) {
      ASSERT_EQ(chmod(port.c_str(), c.mode), 0);
    }
    EXPECT_EQ(PortAccessAdvice(c.path), c.advice);
  }
}

// A device that does not hear a command starting within 40 ms of its last
// answer: with the automatic gap each run finds that out and goes on with the
// standard one (one log line); the next run of the session starts from the
// chosen gap again; with the standard gap chosen nothing needs switching.
TEST_F(RunSessionTest, EveryRunStartsFromTheChosenFrameGap) {
  const std::string port =
      StartSim("port", {"--device", "KV-310", "--baud", "115200", "--min-command-gap", "40"});
  std::vector<uint8_t> image(1024);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 5 + 1);
  const std::string file = Path("image.qvl");
  ASSERT_TRUE(WriteDataFile(file, image, nullptr, 1, 0, 0x08000000));
  const std::string gapLine = "- Frame gap from now on: 50 ms";
  Host host(devices_);
  struct Step {
    std::optional<FrameGapChoice> choice;
    bool switches;
  };
  const Step steps[] = {
      {std::nullopt, true}, {std::nullopt, true}, {FrameGapChoice::Standard(), false}};
  for (const Step& step : steps) {
    SCOPED_TRACE(host.finishedCount);
    if (step.choice) host.session.SetFrameGap(*step.choice);
    host.lines.clear();
    ASSERT_TRUE(host.session.Start(Selection("KV-310", port, file)));
    RunUntilFinished({&host});
    EXPECT_TRUE(host.session.Outcome().Success) << host.Log();
    EXPECT_EQ(std::count_if(host.lines.begin(), host.lines.end(),
                            [&](const std::string& line) { return line.rfind(gapLine, 0) == 0; }),
              step.switches ? 1 : 0)
        << host.Log();
  }
}

// A serial run's log tells of its own port only: the session's USB
// component, which rebuilds its list and closes its (unused) device during
// the run, writes no "Comm port: Disconnected" line into it.
TEST_F(RunSessionTest, SerialRunLogsOnlyItsOwnPortsStatus) {
  const std::string port = StartSim("port", {"--device", "KV-310", "--baud", "115200"});
  Host host(devices_);
  ASSERT_TRUE(host.session.Start(Selection("KV-310", port, SampleHex())));
  QTimer::singleShot(0, [&host] {
    host.session.Usb().SetDeviceIndex(0);
    host.session.Usb().RebuildDeviceList();
  });
  RunUntilFinished({&host});
  EXPECT_TRUE(host.session.Outcome().Success) << host.Log();
  EXPECT_TRUE(host.LogHas("Comm port: Connected")) << host.Log();
  EXPECT_FALSE(host.LogHas("Disconnected")) << host.Log();
}

// A long-lived process (the window, a station's script host) makes run
// after run: what the first run set up (the bus connection, the port
// watcher) stays, and nothing more piles up. Serial runs one after another,
// each in a session of its own, then rounds of instruments side by side.
TEST_F(RunSessionTest, RunAfterRunLeavesNothingBehind) {
  const int runs = SoakSetting("QUORVEL_SOAK_RUNS", 6);
  const int instruments = SoakSetting("QUORVEL_SOAK_INSTRUMENTS", 3);
  const int rounds = SoakSetting("QUORVEL_SOAK_ROUNDS", 2);
  std::vector<std::string> ports;
  for (int i = 0; i < instruments; ++i) {
    ports.push_back(
        StartSim("port" + std::to_string(i), {"--device", "KV-310", "--baud", "115200"}));
  }
  auto settle = [] {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  };
  std::vector<ProcessResources> oneByOne;
  for (int run = 0; run < runs; ++run) {
    {
      Host host(devices_);
      ASSERT_TRUE(host.session.Start(Selection("KV-310", ports[0], SampleHex())));
      RunUntilFinished({&host});
      ASSERT_TRUE(host.session.Outcome().Success) << host.Log();
    }
    settle();
    oneByOne.push_back(ReadProcessResources());
  }
  std::vector<ProcessResources> sideBySide;
  for (int round = 0; round < rounds; ++round) {
    {
      std::vector<std::unique_ptr<Host>> hosts;
      std::vector<Host*> all;
      for (const std::string& port : ports) {
        hosts.push_back(std::make_unique<Host>(devices_));
        all.push_back(hosts.back().get());
        ASSERT_TRUE(hosts.back()->session.Start(Selection("KV-310", port, SampleHex())));
      }
      RunUntilFinished(all);
      for (Host* host : all) ASSERT_TRUE(host->session.Outcome().Success) << host->Log();
    }
    settle();
    sideBySide.push_back(ReadProcessResources());
  }
  PrintSoak(std::cout, "serial runs one by one", oneByOne);
  PrintSoak(std::cout, std::to_string(instruments) + " instruments side by side", sideBySide);
  // No more descriptors and threads than the first run left. A thread on
  // its way out when a sample was taken may still be counted: the counts
  // must come back within a generous bound, and a leak never does.
  const ProcessResources& first = oneByOne.front();
  ProcessResources now;
  const bool back = QTest::qWaitFor(
      [&] {
        now = ReadProcessResources();
        return now.descriptors <= first.descriptors && now.threads <= first.threads;
      },
      15000);
  EXPECT_TRUE(back) << "descriptors " << now.descriptors << " (first run " << first.descriptors
                    << "), threads " << now.threads << " (first run " << first.threads << ")";
}

// The serial run link opens its port the way a run needs it: the row's RTS
// and DTR first, room for the largest write command, the line settings, and
// no status line while the port is closed and opened, nor when it closes at
// the end; the component's status event is its owner's again afterwards.
TEST_F(RunSessionTest, SerialRunLinkOpensAndClosesThePortQuietly) {
  const std::string port = StartSim("port", {"--device", "KV-310"});
  TComm32Kx comm(nullptr, 1);
  std::vector<TLinkStatus> statuses;
  comm.OnCOMStatus = [&statuses](TComm32Kx*, TLinkStatus code, const std::string&) {
    statuses.push_back(code);
  };
  Comm32KxRunLink link(comm);
  LinkOpening opening;
  opening.PortName = port;
  opening.Line = {br057600, pbEven, dbSeven, sbTwo};
  opening.Lines = LinkOpening::ControlLines{true, false};
  opening.TransmitSize = 0xFFFE + kWriteCommandOverhead;  // the largest block's command
  link.Open(opening);
  QCoreApplication::processEvents();
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(link.Status(), TLinkStatus::Connected);
  EXPECT_EQ(link.Kind(), TLinkKind::Serial);
  EXPECT_TRUE(comm.RTSState());
  EXPECT_FALSE(comm.DTRState());
  EXPECT_EQ(comm.BaudRate(), br057600);
  EXPECT_EQ(comm.Parity(), pbEven);
  EXPECT_EQ(comm.DataBits(), dbSeven);
  EXPECT_EQ(comm.StopBits(), sbTwo);
  EXPECT_EQ(link.TransmitSize(), 65535u);  // the component's largest
  EXPECT_TRUE(statuses.empty());
  link.Close();
  QCoreApplication::processEvents();
  EXPECT_FALSE(link.IsOpen());
  EXPECT_TRUE(statuses.empty());
  link.RefreshStatus();
  QCoreApplication::processEvents();
  EXPECT_EQ(statuses, std::vector<TLinkStatus>{TLinkStatus::Disconnected});
}

// The serial run link over the component: the automatic gap is short at
// fast rates only, and a gap set through the link is the component's.
TEST(Comm32KxRunLinkTest, FrameGapIsTheComponentsTimeOut) {
  TComm32Kx comm(nullptr, 1);
  Comm32KxRunLink link(comm);
  comm.SetBaudRate(br115200);
  EXPECT_EQ(link.FrameGap(), FrameGapChoice::Auto());
  EXPECT_TRUE(link.ShortFrameGap());
  link.SetFrameGap(FrameGapChoice::Standard());
  EXPECT_FALSE(comm.FrameGap().automatic);
  EXPECT_EQ(comm.TimeOut(), kStandardFrameGapMs);
  EXPECT_EQ(link.FrameGap(), FrameGapChoice::Fixed(50));
  EXPECT_FALSE(link.ShortFrameGap());
  link.SetFrameGap(FrameGapChoice::Fixed(3));
  EXPECT_EQ(comm.TimeOut(), 3);
  EXPECT_FALSE(link.ShortFrameGap());  // fixed by the user: kept
  link.SetFrameGap(FrameGapChoice::Auto());
  EXPECT_TRUE(comm.FrameGap().automatic);
  EXPECT_LT(comm.TimeOut(), kStandardFrameGapMs);
  comm.SetBaudRate(br000300);
  EXPECT_FALSE(link.ShortFrameGap());  // the line's own gap is long there
}

}  // namespace
}  // namespace quorvel::test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  quorvel::Language = 1;
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
