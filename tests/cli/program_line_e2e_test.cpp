// End to end on lines of different kinds: quorvel-cli program against
// quorvel-sim at 9600, 57600 and 115200 baud, plain, echoing every command
// (glued to the answer or after a pause), with noise before every answer,
// as a device that needs the standard pause between frames, and with the
// standard frame gap chosen. The image must arrive byte for byte; the frame
// gap switches only for the device that needs it, and then once.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "program_fixture.h"

namespace quorvel::test {
namespace {

struct LineKind {
  const char* name;
  std::vector<std::string> simArgs;
  std::vector<std::string> cliArgs;
  size_t gapSwitches;  // "Frame gap from now on" lines
};

const LineKind kLineKinds[] = {
    {"plain", {}, {}, 0},
    {"echoGluedToTheAnswer", {"--echo", "--echo-gap", "0"}, {}, 0},
    {"echoThenPause", {"--echo"}, {}, 0},
    {"noiseBeforeAnswers", {"--noise", "3"}, {}, 0},
    {"deviceNeedsTheStandardPause", {"--min-command-gap", "40"}, {}, 1},
    {"standardGapChosen", {"--min-command-gap", "40"}, {"--frame-gap", "standard"}, 0},
};

class ProgramOnLine : public ProgramEndToEnd,
                      public ::testing::WithParamInterface<std::tuple<int, size_t>> {};

TEST_P(ProgramOnLine, ImageArrivesWhole) {
  const std::string baud = std::to_string(std::get<0>(GetParam()));
  const LineKind& kind = kLineKinds[std::get<1>(GetParam())];
  // Five blocks of 256 bytes: a few seconds even at 9600 baud.
  const std::string file = ShortSampleHex(80);
  std::vector<std::string> simArgs{"--device", "KV-310", "--baud", baud};
  simArgs.insert(simArgs.end(), kind.simArgs.begin(), kind.simArgs.end());
  const std::string port = StartSim(simArgs);
  std::vector<std::string> cliArgs{"--device", "KV-310", "--port", port, "--baud", baud};
  cliArgs.insert(cliArgs.end(), kind.cliArgs.begin(), kind.cliArgs.end());
  cliArgs.push_back(file);
  const ProcessResult run = Program(cliArgs);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Quorvel: KV-310 programming was successful.\n"), std::string::npos)
      << run.out;
  EXPECT_EQ(Occurrences(run.out,
                        "- Frame gap from now on: 50 ms (the device did not keep up with the "
                        "shorter one)\n"),
            kind.gapSwitches)
      << run.out;
  ExpectReceivedEqualsFile(file);
}

INSTANTIATE_TEST_SUITE_P(Lines, ProgramOnLine,
                         ::testing::Combine(::testing::Values(9600, 57600, 115200),
                                            ::testing::Range<size_t>(0, std::size(kLineKinds))),
                         [](const auto& info) {
                           return std::string(kLineKinds[std::get<1>(info.param)].name) + "_" +
                                  std::to_string(std::get<0>(info.param));
                         });

}  // namespace
}  // namespace quorvel::test
