// Programming USB device types end to end through the built-in D2XX
// provider: a umockdev bed holds an FTDI converter whose product string is
// the name the row expects, quorvel-sim serves the master side of the
// converter's terminal, and the run goes through the whole stack (RunSession
// in this process, or quorvel-cli as a child that inherits the bed through
// UMOCKDEV_DIR and LD_PRELOAD). The image the instrument saved must equal
// the data file's image.
// GLib's headers (through umockdev's) name struct fields "signals", which
// Qt's keyword macros would rewrite: they come first.
#include "umockdev_bed.h"

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/prompt.h"
#include "datafile/data_file.h"
#include "datafile/hex_file.h"
#include "process_resources.h"
#include "process_runner.h"
#include "run/device_types.h"
#include "session/run_session.h"
#include "usb/ftdi_usb.h"
#include "usb/udev_ftdi.h"

extern char** environ;

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using test::PrintSoak;
using test::ProcessResources;
using test::ReadProcessResources;
using test::SoakSetting;
using testing::Converter;
using testing::UmockdevBed;

// quorvel-sim serving the master side of the converter's terminal; stopped
// (and so saving what it received) by Stop or at the end.
class SimOnMaster {
 public:
  SimOnMaster(int master, std::vector<std::string> extra) {
    std::vector<std::string> args{QUORVEL_SIM, "--fd", "3", "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, master, 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, QUORVEL_SIM, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~SimOnMaster() { Stop(); }
  SimOnMaster(const SimOnMaster&) = delete;
  SimOnMaster& operator=(const SimOnMaster&) = delete;

  bool Started() const { return pid_ > 0; }
  // The exit code (-1: killed or not started).
  int Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
};

class RecordingPrompt final : public Prompt {
 public:
  bool MsgBox(const std::string& text, const std::string&, uint32_t) override {
    messages.push_back(text);
    return true;
  }
  bool AskYesNo(const std::string& text, const std::string&, uint32_t, bool) override {
    messages.push_back(text);
    return false;
  }
  std::vector<std::string> messages;
};

// Lets the component build its list with the properties set now.
bool WaitForList(TFtdiUSB& usb) {
  return QTest::qWaitFor([&usb] { return usb.DeviceListBuilt() && usb.PendingRebuilds() == 0; },
                         10000);
}

// The number of addresses where the image the instrument saved differs
// from the data file's (outside an image, memory holds 0xFF); -1 when a
// file cannot be read.
long ImageDifferences(const std::string& dataFile, const std::string& saved) {
  const DataFileContents file = ReadDataFile(dataFile, kAcceptEncoded | kAcceptHex);
  if (!file.Loaded()) return -1;
  const FirmwareImage& expected = file.Image;
  FirmwareImage received;
  if (ReadHexFile(saved, received) != 0 || received.ImageSize() == 0) return -1;
  auto byteAt = [](const FirmwareImage& image, uint64_t address) -> uint8_t {
    if (address < image.ImageStart || address >= uint64_t{image.ImageStart} + image.ImageSize())
      return 0xFF;
    return image.ImageData[address - image.ImageStart];
  };
  const uint64_t low = std::min(expected.ImageStart, received.ImageStart);
  const uint64_t high = std::max(uint64_t{expected.ImageStart} + expected.ImageSize(),
                                 uint64_t{received.ImageStart} + received.ImageSize());
  long differences = 0;
  for (uint64_t address = low; address < high; ++address) {
    if (byteAt(expected, address) != byteAt(received, address)) ++differences;
  }
  return differences;
}

std::string SampleHex() {
  return std::string(QUORVEL_SOURCE_DIR) + "/samples/sample_firmware.hex";
}

class UsbProgramUnderUmockdev : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPrompt(&processPrompt_);
    dir_ = fs::temp_directory_path() /
           ("quorvel-usbprog-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    devices_ = BuildDeviceList();
  }
  void TearDown() override {
    fs::remove_all(dir_);
    SetPrompt(nullptr);
    EXPECT_TRUE(processPrompt_.messages.empty()) << processPrompt_.messages.front();
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // Plugs in a converter with this product string and serial number.
  // Each gets a terminal of its own: the bed keeps a removed terminal's
  // node name taken.
  Converter PlugIn(const std::string& product, const std::string& serial) {
    Converter converter;
    converter.tty = "ttyUSB" + std::to_string(plugged_);
    converter.minor = plugged_++;
    // A bus of this test process's own: other test processes on the same
    // session bus announce the locations of theirs.
    converter.bus = 1 + static_cast<unsigned>(getpid()) % 250;
    converter.product = product;
    converter.serial = serial;
    EXPECT_TRUE(bed_.Add(converter));
    umockdev_testbed_uevent(bed_.Get(), UmockdevBed::TtyPath(converter).c_str(), "add");
    return converter;
  }

  // The converter's location ID as the provider lists it (0 when it is not).
  static uint32_t LocationOf(const Converter& converter) {
    for (const FtdiTtyDevice& device : EnumerateFtdiTtys()) {
      if (device.DevNode == "/dev/" + converter.tty) return device.LocId;
    }
    return 0;
  }

  std::string Encode(const std::string& device) {
    const test::ProcessResult encoded = test::RunProcess(
        {QUORVEL_CLI, "encode", "--yes", "--device", device, SampleHex(), Path("fw.qvl")},
        {"LC_ALL=C"});
    EXPECT_EQ(encoded.exitCode, 0) << encoded.err;
    return Path("fw.qvl");
  }

  RecordingPrompt processPrompt_;
  UmockdevBed bed_;
  unsigned plugged_ = 0;
  fs::path dir_;
  TDevAvailArray devices_;
};

// Whole runs through the built-in provider: closing the converter at the
// end interrupts the read thread's driver wait until it has ended, also when
// the close lands just before the wait starts (umockdev's slow ioctls widen
// that window).
TEST_F(UsbProgramUnderUmockdev, RunSessionProgramsTheConverterOfEachUsbRow) {
  struct Case {
    std::string row;
    std::string product;
    std::string simDevice;
    std::string baud;
    bool encoded;
  };
  const Case cases[] = {
      {"PAXL-20", "PAXL-20", "PAXL-20", "38400", true},
      {"FES-20", "WX-310C", "FES-20", "125000", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.row);
    const Converter converter = PlugIn(c.product, "A1");
    const std::string file = c.encoded ? Encode(c.row) : SampleHex();
    const std::string saved = Path(c.row + ".hex");
    SimOnMaster sim(bed_.Master(converter),
                    {"--device", c.simDevice, "--baud", c.baud, "--save", saved});
    ASSERT_TRUE(sim.Started());

    const int row = FindDeviceByDisplayText(devices_, c.row);
    ASSERT_GT(row, 0);
    ASSERT_EQ(devices_[row].LinkKind, TLinkKind::Usb);
    RecordingPrompt prompt;
    std::vector<std::string> lines;
    RunSession session(devices_);
    session.SetPrompt(&prompt);
    session.SetLineSink([&lines](const std::string& line) { lines.push_back(line); });
    session.Usb().SetDevNameExpected(devices_[row].UsbNames);
    ASSERT_TRUE(WaitForList(session.Usb()));
    const std::string text = c.product + " A1";
    const int32_t entry = session.Usb().FindEntry(text);
    ASSERT_GT(entry, 0) << "the row lists its converter";
    EXPECT_EQ(session.Usb().FindEntry(std::to_string(LocationOf(converter))), entry);

    RunSelection selection;
    selection.DeviceIndex = row;
    selection.DeviceText = c.row;
    selection.PortName = text;
    selection.PortIndex = entry;
    selection.FileName = file;
    selection.Serial = {devices_[row].BaudIndex, devices_[row].ParityIndex,
                        devices_[row].DataBitsIndex, devices_[row].StopBitsIndex};
    int finished = 0;
    QObject::connect(&session, &RunSession::finished, [&finished] { ++finished; });
    ASSERT_TRUE(session.Start(selection));
    QTimer limit;
    QObject::connect(&session, &RunSession::finished, [] { QCoreApplication::quit(); });
    QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::quit(); });
    limit.start(90'000);
    QCoreApplication::exec();

    std::string log;
    for (const std::string& line : lines) log += line + "\n";
    ASSERT_EQ(finished, 1) << log;
    EXPECT_EQ(session.Outcome().Cause, RunCause::Success) << log;
    EXPECT_NE(log.find("USB device: Connected"), std::string::npos) << log;
    EXPECT_EQ(session.Facts().BytesWritten, session.Facts().BytesTotal);
    ASSERT_EQ(prompt.messages.size(), 1u) << log;
    EXPECT_NE(prompt.messages[0].find("programming was successful."), std::string::npos)
        << prompt.messages[0];
    // The provider lowered the converter's latency timer at open.
    EXPECT_EQ(session.Usb().LatencyTimerMs(), 1);

    ASSERT_EQ(sim.Stop(), 0);  // the simulator saves at exit
    EXPECT_EQ(ImageDifferences(file, saved), 0);
    bed_.Unplug(converter);
  }
}

// The window keeps one USB component and lends it to a session per run:
// run after run through it, what the first run set up stays and nothing
// more piles up (QUORVEL_SOAK_RUNS runs; a few in the test command).
TEST_F(UsbProgramUnderUmockdev, RunAfterRunThroughOneConverterLeavesNothingBehind) {
  const int runs = SoakSetting("QUORVEL_SOAK_RUNS", 3);
  const Converter converter = PlugIn("WX-310C", "A1");
  const std::string saved = Path("fes.hex");
  SimOnMaster sim(bed_.Master(converter), {"--device", "FES-20", "--baud", "125000"});
  ASSERT_TRUE(sim.Started());
  const int row = FindDeviceByDisplayText(devices_, "FES-20");
  ASSERT_GT(row, 0);
  TFtdiUSB usb(nullptr, 1);
  usb.SetDevNameExpected(devices_[row].UsbNames);
  ASSERT_TRUE(WaitForList(usb));
  const int32_t entry = usb.FindEntry("WX-310C A1");
  ASSERT_GT(entry, 0);
  std::vector<ProcessResources> samples;
  for (int run = 0; run < runs; ++run) {
    {
      RecordingPrompt prompt;
      RunSession session(devices_, nullptr, &usb);
      session.SetPrompt(&prompt);
      RunSelection selection;
      selection.DeviceIndex = row;
      selection.DeviceText = "FES-20";
      selection.PortName = "WX-310C A1";
      selection.PortIndex = entry;
      selection.FileName = SampleHex();
      QObject::connect(&session, &RunSession::finished, [] { QCoreApplication::quit(); });
      QTimer limit;
      QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::quit(); });
      limit.start(90'000);
      ASSERT_TRUE(session.Start(selection));
      QCoreApplication::exec();
      ASSERT_EQ(session.Outcome().Cause, RunCause::Success) << "run " << run + 1;
    }
    // Sampled once the component's list is settled: a rebuild in flight
    // holds a socket of its own for a moment.
    ASSERT_TRUE(WaitForList(usb));
    samples.push_back(ReadProcessResources());
  }
  PrintSoak(std::cout, "USB runs through one converter", samples);
  // A descriptor held for a moment by the bed, or a thread on its way out,
  // may be counted at any one look: in the end no more are there than after
  // the first run.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        const ProcessResources now = ReadProcessResources();
        return now.descriptors <= samples.front().descriptors &&
               now.threads <= samples.front().threads;
      },
      15000));
  ASSERT_EQ(sim.Stop(), 0);
}

// quorvel-cli, a child of this process, sees the same bed: it inherits
// UMOCKDEV_DIR and the preload library, and its ioctls on the converter's
// terminal are served by this process's bed.
TEST_F(UsbProgramUnderUmockdev, CliChildListsAndProgramsTheConverterByTextAndLocation) {
  const Converter converter = PlugIn("PAXL-20", "A1");
  Converter other;  // another kind: not for this row
  other.tty = "ttyUSB9";
  other.minor = 9;
  other.portPath = "2";
  other.product = "FT232R USB UART";
  other.serial = "B2";
  ASSERT_TRUE(bed_.Add(other));
  const std::string location = std::to_string(LocationOf(converter));
  ASSERT_NE(location, "0");
  const std::vector<std::string> environment{"LC_ALL=C", "QUORVEL_D2XX_LIBRARY=builtin"};

  const test::ProcessResult listed =
      test::RunProcess({QUORVEL_CLI, "ports", "--device", "PAXL-20"}, environment);
  EXPECT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_EQ(listed.out, location + "=PAXL-20 A1\n");

  const std::string file = Encode("PAXL-20");
  for (const std::string& choice : {std::string("PAXL-20 A1"), location}) {
    SCOPED_TRACE(choice);
    const std::string saved = Path("received.hex");
    fs::remove(saved);
    SimOnMaster sim(bed_.Master(converter),
                    {"--device", "PAXL-20", "--baud", "38400", "--save", saved});
    ASSERT_TRUE(sim.Started());
    const test::ProcessResult run =
        test::RunProcess({QUORVEL_CLI, "program", "--device", "PAXL-20", "--port", choice, file},
                         environment, std::chrono::seconds(90));
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("USB device: Connected"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("programming was successful."), std::string::npos) << run.out;
    ASSERT_EQ(sim.Stop(), 0);
    EXPECT_EQ(ImageDifferences(file, saved), 0);
  }
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
  // The run's component loads the process's D2XX table: the built-in one.
  setenv("QUORVEL_D2XX_LIBRARY", "builtin", 1);
  ::testing::InitGoogleTest(&argc, argv);
  quorvel::Language = 1;
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
