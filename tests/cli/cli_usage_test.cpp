// quorvel-cli as a script meets it: the usage, the version, bad arguments
// and the port list, run as a user runs them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "process_runner.h"

namespace quorvel::test {
namespace {

ProcessResult Cli(std::vector<std::string> args, const std::string& lang = "C") {
  args.insert(args.begin(), QUORVEL_CLI);
  return RunProcess(args, {"LC_ALL=" + lang});
}

std::string Sample() {
  return std::string(QUORVEL_SOURCE_DIR) + "/samples/sample_firmware.hex";
}

TEST(CliUsage, HelpPrintsTheWholeUsageWithEveryExitCode) {
  const std::vector<std::vector<std::string>> asks = {{"--help"}, {"program", "--help"}};
  for (const auto& args : asks) {
    SCOPED_TRACE(args.size());
    const ProcessResult help = Cli(args);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.err.empty()) << help.err;
    EXPECT_EQ(help.out.rfind("Usage:\n", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("quorvel-cli program --device TYPE --port PORT"), std::string::npos);
    EXPECT_NE(help.out.find("[--frame-gap auto|standard|MS]"), std::string::npos);
    EXPECT_NE(help.out.find("Exit codes:\n"
                            "  0  success (program: every block and the device's reset "
                            "acknowledged)\n"
                            "  1  failure\n"
                            "  2  bad arguments\n"
                            "  3  the image was written but the device did not confirm its "
                            "restart:\n"
                            "     switch it off and on and check it\n"),
              std::string::npos)
        << help.out;
  }
  const ProcessResult polish = Cli({"--help"}, "pl_PL.UTF-8");
  EXPECT_EQ(polish.exitCode, 0);
  EXPECT_NE(polish.out.find("  3  obraz zapisano, ale urządzenie nie potwierdziło ponownego "
                            "uruchomienia:\n"),
            std::string::npos)
      << polish.out;
}

TEST(CliUsage, VersionIsTheProjectVersion) {
  const ProcessResult version = Cli({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, std::string("quorvel-cli ") + QUORVEL_VERSION + "\n");
  EXPECT_TRUE(version.err.empty()) << version.err;
}

TEST(CliUsage, BadArgumentsNameTheOneProblemAndPointToHelp) {
  struct Case {
    std::vector<std::string> args;
    std::string problem;
  };
  const std::string sample = Sample();
  std::vector<Case> cases = {
      {{}, "No command given."},
      {{"frobnicate"}, "Bad argument: frobnicate"},
      {{"program", "--colour", "red"}, "Bad argument: --colour"},
      {{"program", "--device", "KV-310", sample}, "Missing argument: --port"},
      {{"program", "--port", "/dev/null", sample}, "Missing argument: --device"},
      {{"program", "--device", "KV-310", "--port", "/dev/null"}, "Missing argument: FILE"},
      {{"program", "--device", "KV-310", "--port", "/dev/null", sample, "extra"},
       "Bad argument: extra"},
      {{"program", "--device", "Nothing", "--port", "/dev/null", sample},
       "Unknown device type: Nothing"},
      {{"program", "--device", "KV-310", "--port", "/dev/null", "--baud", "12345", sample},
       "Bad argument: --baud 12345"},
      {{"program", "--device", "KV-310", "--port", "/dev/null", "--data-bits", "4", sample},
       "Bad argument: --data-bits 4 (a serial port cannot send 4-bit characters)"},
      {{"program", "--device", "KV-310", "--port", "/dev/null", "--stop-bits", "1.5", sample},
       "Bad argument: --stop-bits 1.5 (1.5 stop bits only with --data-bits 5)"},
      {{"program", "--device", "KV-310", "--port", "/dev/null", "--data-bits", "7", "--stop-bits",
        "1.5", sample},
       "Bad argument: --stop-bits 1.5 (1.5 stop bits only with --data-bits 5)"},
      {{"program", "--device", "KV-310", "--port", "ttyNOTHING", sample},
       "No such port: ttyNOTHING"},
      // What the user gave reaches the terminal printable.
      {{"program", "--device", "KV-310", "--port", "tty\x1b[2J\x01", sample},
       "No such port: tty\\x1b[2J\\x01"},
      {{"program", "--device", "KV-310", "--ports-from", "/dev/null", sample},
       "Bad argument: --ports-from /dev/null (no port in the file)"},
      {{"program", "--device", "KV-310", "--ports-from", std::string(QUORVEL_SOURCE_DIR), sample},
       "Bad argument: --ports-from " + std::string(QUORVEL_SOURCE_DIR) + " (is a directory)"},
      {{"program", "--device", "KV-310", "--port", "/dev/null", "--frame-gap", "0", sample},
       "Bad argument: --frame-gap 0 (accepted: standard, auto or a number of ms from 1 to 1000)"},
      {{"program", "--device", "KV-310", "--port", "/dev/null", "--frame-gap", "1001", sample},
       "Bad argument: --frame-gap 1001 (accepted: standard, auto or a number of ms from 1 to "
       "1000)"},
      {{"program", "--device", "KV-310", "--port", "/dev/null", "--frame-gap", "fast", sample},
       "Bad argument: --frame-gap fast (accepted: standard, auto or a number of ms from 1 to "
       "1000)"},
  };
  // Every option but --port and --ports-from at most once, for every
  // command: a later value never wins in silence.
  const std::string twice = " (given more than once; this option may be given once only)";
  const std::vector<std::string> one{"program", "--device", "KV-310", "--port", "/dev/null"};
  const std::vector<std::pair<std::vector<std::string>, std::string>> repeated = {
      {{"--report", "a.json", "--report", "b.json"}, "--report"},
      {{"--device", "KV-310"}, "--device"},
      {{"--baud", "9600", "--baud=115200"}, "--baud"},
      {{"--parity", "none", "--parity", "even"}, "--parity"},
      {{"--data-bits", "8", "--data-bits", "8"}, "--data-bits"},
      {{"--stop-bits", "1", "--stop-bits", "2"}, "--stop-bits"},
      {{"--frame-gap", "auto", "--frame-gap", "5"}, "--frame-gap"},
      {{"--address", "1", "--address", "2"}, "--address"},
      {{"--service", "--service"}, "--service"},
  };
  for (const auto& [extra, option] : repeated) {
    std::vector<std::string> args = one;
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(sample);
    cases.push_back({args, "Bad argument: " + option + twice});
  }
  cases.push_back({{"encode", "--device", "KV-310", "--device", "KV-310", sample, "out.qvl"},
                   "Bad argument: --device" + twice});
  cases.push_back({{"encode", "--yes", "--yes", "--device", "KV-310", sample, "out.qvl"},
                   "Bad argument: --yes" + twice});
  cases.push_back({{"ports", "--device", "KV-310", "--device", "TRP-40 .USB"},
                   "Bad argument: --device" + twice});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problem);
    const ProcessResult run = Cli(c.args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_EQ(run.err, c.problem + "\nTry 'quorvel-cli --help'.\n");
  }
  const ProcessResult polish =
      Cli({"program", "--device", "KV-310", "--port", "/dev/null", "--data-bits", "4", sample},
          "pl_PL.UTF-8");
  EXPECT_EQ(polish.err,
            "Błędny argument: --data-bits 4 (port szeregowy nie przesyła znaków 4-bitowych)\n"
            "Pomoc: 'quorvel-cli --help'.\n");
  const ProcessResult polishTwice =
      Cli({"program", "--device", "KV-310", "--device", "KV-310", "--port", "/dev/null", sample},
          "pl_PL.UTF-8");
  EXPECT_EQ(polishTwice.err,
            "Błędny argument: --device (podana więcej niż raz; tę opcję można podać tylko raz)\n"
            "Pomoc: 'quorvel-cli --help'.\n");
}

TEST(CliUsage, OneAndAHalfStopBitsWithFiveDataBitsReachTheRun) {
  // The settings pass; the run itself then finds /dev/null no port.
  const ProcessResult run = Cli({"program", "--device", "KV-310", "--port", "/dev/null",
                                 "--data-bits", "5", "--stop-bits", "1.5", Sample()});
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_NE(run.out.find("Comm port: /dev/null  9600 N 5 1.5\n"), std::string::npos) << run.out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(CliPorts, ListsOnlyRealPorts) {
  const ProcessResult ports =
      RunProcess({QUORVEL_CLI, "ports"}, {"LC_ALL=C", "QUORVEL_EXTRA_PORTS=/tmp/qa-port:/tmp/qb"});
  EXPECT_EQ(ports.exitCode, 0);
  // The system's own ports may be listed too, sorted in among them.
  const std::vector<std::string> lines = Lines(ports.out);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "/tmp/qa-port"), 1) << ports.out;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "/tmp/qb"), 1) << ports.out;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "none"), 0) << ports.out;
  EXPECT_TRUE(ports.err.empty()) << ports.err;
}

TEST(CliPorts, NoPortsIsSaidOnStderr) {
  // A system without serial ports: an empty tty class in a mount namespace
  // of its own.
  if (RunProcess({"/usr/bin/unshare", "-m", "/bin/true"}).exitCode != 0) {
    GTEST_SKIP() << "needs unshare -m (root, or a user namespace) to hide the system's ports";
  }
  const std::string hidden =
      "mount -t tmpfs none /sys/class/tty && unset QUORVEL_EXTRA_PORTS && exec \"$0\" ports";
  const struct {
    std::string lang;
    std::string text;
  } cases[] = {{"C", "no serial ports found\n"},
               {"pl_PL.UTF-8", "nie znaleziono portów szeregowych\n"}};
  for (const auto& c : cases) {
    const ProcessResult none = RunProcess(
        {"/usr/bin/unshare", "-m", "/bin/sh", "-c", hidden, QUORVEL_CLI}, {"LC_ALL=" + c.lang});
    EXPECT_EQ(none.exitCode, 0) << none.err;
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, c.text);
  }
}

}  // namespace
}  // namespace quorvel::test
