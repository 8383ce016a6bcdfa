// End to end: quorvel-cli program against quorvel-sim on a pseudo-terminal;
// the image the simulated instrument received must equal the file's image.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "program_fixture.h"

namespace quorvel::test {
namespace {

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

TEST_F(ProgramEndToEnd, UnconfirmedRestartHasItsOwnExitCode) {
  // Every block is acknowledged; only the reset is refused or never answered
  // (the second case waits out the engine's retries, about half a minute).
  struct Case {
    std::string name;
    std::vector<std::string> fault;
    std::string resetLine;
  };
  const Case cases[] = {
      {"refused", {"--negative", "5:1:5"}, "- Unknown bootloader error: 5\n"},
      {"never answered", {"--ignore-reset"}, "- Timeout occured\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> simArgs{"--device", "KV-310", "--baud", "115200"};
    simArgs.insert(simArgs.end(), c.fault.begin(), c.fault.end());
    const std::string port = StartSim(simArgs);
    const ProcessResult run =
        Program({"--device", "KV-310", "--port", port, "--baud", "115200", SampleHex()});
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
    EXPECT_NE(run.out.find("- Bytes written: 18432 / 18432\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(c.resetLine), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("successful"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("KV-310 programming wrote the image, but the device did not confirm "
                           "its restart.\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Switch the device off and on again"), std::string::npos);
    ExpectReceivedEqualsFile(SampleHex());
    fs::remove(Path("received.hex"));
  }
}

TEST_F(ProgramEndToEnd, BlocksLargerThanTheDefaultTransmitBuffer) {
  for (const std::string blockSize : {"1024", "2048"}) {
    SCOPED_TRACE(blockSize);
    const std::string port =
        StartSim({"--device", "KV-310", "--baud", "115200", "--block-size", blockSize});
    const ProcessResult run =
        Program({"--device", "KV-310", "--port", port, "--baud", "115200", SampleHex()});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("- Data block size: " + blockSize + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("KV-310 programming was successful.\n"), std::string::npos) << run.out;
    ExpectReceivedEqualsFile(SampleHex());
    fs::remove(Path("received.hex"));
  }
}

TEST_F(ProgramEndToEnd, PortThatCannotCarryARunEndsItAtOnce) {
  std::ofstream(Path("regular")) << "not a port\n";
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  struct Case {
    std::string port;
    std::string status;
  };
  const Case cases[] = {
      {Path("missing"), "Port not found"},
      {Path("regular"), "Port COM error"},
      {"/dev/null", "Port COM error"},
      {Path("fifo"), "Port COM error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult run = Program({"--device", "KV-310", "--port", c.port, SampleHex()});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("Comm port: " + c.status + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Device programming was unsuccessful.\n\nComm port: " + c.status),
              std::string::npos)
        << run.out;
    // Not the half minute of retries of a port that merely stays silent.
    EXPECT_LT(elapsed, std::chrono::seconds(2));
  }
}

// A data file that is not understood line by line programs nothing: the run
// ends before the port is opened, and the line and its fault are named.
TEST_F(ProgramEndToEnd, CorruptHexLineProgramsNothingAndIsNamed) {
  std::ifstream in(SampleHex());
  std::ofstream out(Path("corrupt.hex"));
  size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    if (++number == 201) line[line.find('F', 1)] = 'O';
    out << line << '\n';
  }
  out.close();
  ASSERT_GT(number, 201u);
  const std::string port = StartSim({"--device", "GRV-30x", "--mode", "boot"});
  const ProcessResult run = Program({"--device", "GRV-30x", "--port", port, Path("corrupt.hex")});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("Data file error: Data reading error"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("Connecting with bootloader"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find(Path("corrupt.hex") + ": line 201: character 'O'"), std::string::npos)
      << run.err;
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
  // A USB row takes only a converter of its device list.
  const ProcessResult usb =
      Program({"--device", "TRP-40 .USB", "--port", "/dev/null", SampleHex()});
  EXPECT_EQ(usb.exitCode, 2) << usb.err;
  EXPECT_NE(usb.err.find("No such port: /dev/null"), std::string::npos) << usb.err;
}

}  // namespace
}  // namespace quorvel::test
