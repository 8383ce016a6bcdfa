// End to end: quorvel-cli program against quorvel-sim on a pseudo-terminal;
// the image the simulated instrument received must equal the file's image.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "datafile/data_file.h"
#include "datafile/hex_file.h"
#include "dialogs/prompt.h"
#include "process_runner.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

class ProgramEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPrompt(&silent_);
    dir_ = fs::temp_directory_path() /
           ("quorvel-e2e-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    sim_.reset();
    fs::remove_all(dir_);
    SetPrompt(nullptr);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // Starts the simulated instrument; returns the path of its terminal.
  std::string StartSim(std::vector<std::string> args) {
    args.insert(args.begin(),
                {QUORVEL_SIM, "--save", Path("received.hex"), "--link", Path("port")});
    sim_ = std::make_unique<BackgroundProcess>(args);
    const std::string terminal = sim_->FirstLine();
    EXPECT_FALSE(terminal.empty());
    return Path("port");
  }

  ProcessResult Program(std::vector<std::string> args) {
    args.insert(args.begin(), {QUORVEL_CLI, "program"});
    return RunProcess(args, {"LC_ALL=C"}, std::chrono::seconds(90));
  }

  std::string Encode(const std::string& device) {
    const ProcessResult encoded = RunProcess(
        {QUORVEL_CLI, "encode", "--yes", "--device", device, SampleHex(), Path("fw.qvl")},
        {"LC_ALL=C"});
    EXPECT_EQ(encoded.exitCode, 0) << encoded.err;
    return Path("fw.qvl");
  }

  static std::string SampleHex() {
    return std::string(QUORVEL_SOURCE_DIR) + "/samples/sample_firmware.hex";
  }

  // Every address of the file's image holds the same byte in the
  // instrument's memory, and the instrument got nothing outside it but 0xFF.
  void ExpectReceivedEqualsFile(const std::string& dataFile) {
    ASSERT_EQ(sim_->Stop(), 0);  // the simulator saves at exit
    FirmwareImage expected;
    uint16_t code = 0;
    uint16_t variant = 0;
    ASSERT_GE(ReadDataFile(dataFile, kAcceptEncoded | kAcceptHex, false, code, variant, expected),
              0);
    FirmwareImage received;
    ASSERT_EQ(ReadHexFile(Path("received.hex"), received), 0);
    ASSERT_GT(received.ImageSize(), 0u);
    auto byteAt = [](const FirmwareImage& image, uint64_t address) -> uint8_t {
      if (address < image.ImageStart || address >= uint64_t{image.ImageStart} + image.ImageSize())
        return 0xFF;
      return image.ImageData[address - image.ImageStart];
    };
    const uint64_t low = std::min(expected.ImageStart, received.ImageStart);
    const uint64_t high = std::max(uint64_t{expected.ImageStart} + expected.ImageSize(),
                                   uint64_t{received.ImageStart} + received.ImageSize());
    size_t differences = 0;
    for (uint64_t address = low; address < high; ++address) {
      if (byteAt(expected, address) != byteAt(received, address)) ++differences;
    }
    EXPECT_EQ(differences, 0u);
  }

  SilentPrompt silent_;
  fs::path dir_;
  std::unique_ptr<BackgroundProcess> sim_;
};

TEST_F(ProgramEndToEnd, BootloaderOnlyRowFromAnEncodedFile) {
  const std::string file = Encode("KV-310");
  const std::string port = StartSim({"--device", "KV-310", "--baud", "115200"});
  const ProcessResult run =
      Program({"--device", "KV-310", "--port", port, "--baud", "115200", file});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("- Connection established: bootloader protocol\n"), std::string::npos);
  EXPECT_NE(run.out.find("- Bytes written: 18432 / 18432\n"), std::string::npos);
  EXPECT_NE(run.out.find("Quorvel: KV-310 programming was successful.\n"), std::string::npos)
      << run.out;
  ExpectReceivedEqualsFile(file);
}

TEST_F(ProgramEndToEnd, RowsEnteredThroughTheirUserApplication) {
  struct Case {
    std::string device;
    std::vector<std::string> simExtra;
    std::vector<std::string> cliExtra;
  };
  const Case cases[] = {
      {"M-530", {}, {}},
      {"BTQ-20 .RS485", {"--address", "4660"}, {"--address", "4660"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    const std::string file = Encode(c.device);
    std::vector<std::string> simArgs{"--device", c.device, "--baud", "115200", "--mode", "app"};
    simArgs.insert(simArgs.end(), c.simExtra.begin(), c.simExtra.end());
    const std::string port = StartSim(simArgs);
    std::vector<std::string> cliArgs{"--device", c.device, "--port", port, "--baud", "115200"};
    cliArgs.insert(cliArgs.end(), c.cliExtra.begin(), c.cliExtra.end());
    cliArgs.push_back(file);
    const ProcessResult run = Program(cliArgs);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("- Connection established: device protocol\n"), std::string::npos);
    EXPECT_NE(run.out.find("- Device reset: OK\n"), std::string::npos);
    EXPECT_NE(run.out.find(" no 1234/5678 programming was successful."), std::string::npos)
        << run.out;
    ExpectReceivedEqualsFile(file);
    fs::remove(Path("received.hex"));
  }
}

TEST_F(ProgramEndToEnd, HexFileProgrammedDirectly) {
  const std::string port = StartSim({"--device", "GRV-30x", "--mode", "boot", "--baud", "115200",
                                     "--block-size", "512", "--noise", "2"});
  const ProcessResult run =
      Program({"--device", "grv-30x", "--port", port, "--baud", "115200", SampleHex()});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("- Empty data block: "), std::string::npos);
  ExpectReceivedEqualsFile(SampleHex());
}

TEST_F(ProgramEndToEnd, CtrlCStopsTheRunAsTheStopButton) {
  const std::string port = StartSim({"--device", "KV-310"});  // 9600: a run of many seconds
  std::vector<std::string> args{QUORVEL_CLI, "program", "--device", "KV-310",
                                "--port",    port,      SampleHex()};
  // Interrupt once the transfer has begun.
  std::thread interrupter;
  const ProcessResult run =
      RunProcess(args, {"LC_ALL=C"}, std::chrono::seconds(60), [&interrupter](pid_t pid) {
        interrupter = std::thread([pid] {
          std::this_thread::sleep_for(std::chrono::seconds(3));
          kill(pid, SIGINT);
        });
      });
  interrupter.join();
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("- User abort\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("programming was unsuccessful.\n\nUser abort."), std::string::npos)
      << run.out;
}

TEST_F(ProgramEndToEnd, BadArgumentsExitWithUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {"--device", "KV-310", SampleHex()},
      {"--device", "Nothing", "--port", "/dev/null", SampleHex()},
      {"--device", "BTQ-20 .RS485", "--port", "/dev/null", "--address", "0", SampleHex()},
      {"--device", "KV-310", "--port", "/dev/null", "--baud", "12345", SampleHex()},
      {"--device", "KV-310", "--port", "/dev/null", "--parity", "purple", SampleHex()},
      {"--device", "KV-310", "--port", "ttyNOTHING", SampleHex()},
  };
  for (const auto& args : cases) {
    const ProcessResult run = Program(args);
    EXPECT_EQ(run.exitCode, 2) << args[1] << run.err;
  }
  const ProcessResult usb =
      Program({"--device", "TRP-40 .USB", "--port", "/dev/null", SampleHex()});
  EXPECT_EQ(usb.exitCode, 1);
  EXPECT_NE(usb.err.find("USB devices are not supported by quorvel-cli yet"), std::string::npos);
}

}  // namespace
}  // namespace quorvel::test
