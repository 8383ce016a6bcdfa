#include "app/cli_args.h"

#include <gtest/gtest.h>

#include "cli/line_args.h"

namespace quorvel {
namespace {

TEST(CliArgs, SeparatesOptionsFlagsAndPositionals) {
  const CliArgs args = ParseCliArgs({"--device", "M-530", "in.hex", "--yes", "--baud=9600", "out"},
                                    {"device", "baud"}, {"yes"});
  EXPECT_TRUE(args.error.empty());
  EXPECT_EQ(args.Get("device"), "M-530");
  EXPECT_EQ(args.Get("baud"), "9600");
  EXPECT_TRUE(args.Flag("yes"));
  EXPECT_EQ(args.positionals, (std::vector<std::string>{"in.hex", "out"}));
}

TEST(CliArgs, ReportsUnknownOptionsAndMissingValues) {
  EXPECT_EQ(ParseCliArgs({"--colour"}, {"device"}, {"yes"}).error, "--colour");
  EXPECT_EQ(ParseCliArgs({"--device"}, {"device"}, {}).error, "--device");
  EXPECT_EQ(ParseCliArgs({"--yes=1"}, {}, {"yes"}).error, "--yes");
}

TEST(CliArgs, AnErrorKeepsTheWordAsGivenAndWhatCameBefore) {
  struct Case {
    std::vector<std::string> words;
    std::string error;
    std::string errorWord;
    size_t givenBefore;
    size_t errorIndex;  // where the parse of the rest may go on after it
  };
  const Case cases[] = {
      {{"--colour=red"}, "--colour", "--colour=red", 0, 0},
      {{"--yes", "--yes=1", "--device", "x"}, "--yes", "--yes=1", 1, 1},
      {{"in.hex", "--device=a", "--device"}, "--device", "--device", 2, 2},
      {{"--device", "a", "b", "--colour", "c"}, "--colour", "--colour", 2, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.errorWord);
    const CliArgs args = ParseCliArgs(c.words, {"device"}, {"yes"});
    EXPECT_EQ(args.error, c.error);
    EXPECT_EQ(args.errorWord, c.errorWord);
    EXPECT_EQ(args.given.size(), c.givenBefore);
    EXPECT_EQ(args.errorIndex, c.errorIndex);
  }
}

TEST(CliArgs, AnOptionGivenTwiceIsNamedUnlessItsValuesAddUp) {
  struct Case {
    std::vector<std::string> words;
    std::string repeated;
  };
  const Case cases[] = {
      {{"--port", "a", "--port=b", "--device", "x", "in.hex"}, ""},
      {{"--device", "x", "--baud", "1", "--device", "x"}, "--device"},
      {{"--baud=1", "--device", "x", "--baud", "2"}, "--baud"},
      {{"--yes", "in.hex", "--yes"}, "--yes"},
      {{"--baud", "1", "--yes", "--yes", "--baud", "2"}, "--yes"},
      // After "--" a word is a file, not an option.
      {{"--device", "x", "--", "--device"}, ""},
      {{"--port", "--port", "--port", "--port"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    const CliArgs args = ParseCliArgs(c.words, {"device", "baud", "port"}, {"yes"});
    ASSERT_TRUE(args.error.empty());
    EXPECT_EQ(RepeatedOption(args, {"port"}), c.repeated);
  }
}

TEST(CliArgs, KeepsEveryArgumentInTheOrderGiven) {
  using Kind = CliArg::Kind;
  const CliArgs args = ParseCliArgs({"--silent-after", "5", "in.hex", "--silent", "--negative=1",
                                     "--negative", "2", "-h", "--", "--silent"},
                                    {"silent-after", "negative"}, {"silent"});
  ASSERT_TRUE(args.error.empty());
  EXPECT_EQ(args.given, (std::vector<CliArg>{{Kind::Option, "silent-after", "5"},
                                             {Kind::Positional, "", "in.hex"},
                                             {Kind::Flag, "silent", ""},
                                             {Kind::Option, "negative", "1"},
                                             {Kind::Option, "negative", "2"},
                                             {Kind::Positional, "", "-h"},
                                             {Kind::EndOfOptions, "", ""},
                                             {Kind::Positional, "", "--silent"}}));
  std::vector<std::string> words;
  for (const CliArg& arg : args.given) words.push_back(arg.Word());
  EXPECT_EQ(words, (std::vector<std::string>{"--silent-after", "in.hex", "--silent", "--negative",
                                             "--negative", "-h", "--", "--silent"}));
}

TEST(CliArgs, AnOptionTakesTheNextWordWhateverItLooksLike) {
  const CliArgs args = ParseCliArgs({"--device", "-x", "--model", "--yes", "--name", "--"},
                                    {"device", "model", "name"}, {"yes"});
  ASSERT_TRUE(args.error.empty());
  EXPECT_EQ(args.Get("device"), "-x");
  EXPECT_EQ(args.Get("model"), "--yes");
  EXPECT_EQ(args.Get("name"), "--");
  EXPECT_FALSE(args.Flag("yes"));
  EXPECT_TRUE(args.positionals.empty());
}

TEST(CliArgs, DoubleDashEndsOptions) {
  const CliArgs args = ParseCliArgs({"--", "--not-an-option"}, {}, {});
  EXPECT_TRUE(args.error.empty());
  EXPECT_EQ(args.positionals, (std::vector<std::string>{"--not-an-option"}));
}

TEST(LineArgs, OptionsOverTheDefaults) {
  struct Case {
    std::vector<std::string> words;
    LineSettings expected;
  };
  const LineSettings defaults{br009600, pbNone, dbEight, sbOne};
  const Case cases[] = {
      {{}, defaults},
      {{"--baud", "115200"}, {br115200, pbNone, dbEight, sbOne}},
      {{"--baud", "125000", "--parity", "even"}, {br125000, pbEven, dbEight, sbOne}},
      {{"--parity", "O", "--data-bits", "7", "--stop-bits", "2"},
       {br009600, pbOdd, dbSeven, sbTwo}},
      {{"--parity", "SPACE", "--data-bits", "6"}, {br009600, pbSpace, dbSix, sbOne}},
      {{"--data-bits", "5", "--stop-bits", "1.5"}, {br009600, pbNone, dbFive, sbOnePointFive}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words.empty() ? "" : c.words.front());
    std::string problem = "left over";
    const std::optional<LineSettings> line = LineSettingsFromArgs(
        ParseCliArgs(c.words, {"baud", "parity", "data-bits", "stop-bits"}, {}), defaults, problem);
    ASSERT_TRUE(line.has_value()) << problem;
    EXPECT_EQ(*line, c.expected);
    EXPECT_EQ(problem, "");
  }
}

TEST(LineArgs, RefusesWhatAPortCannotBeSetTo) {
  struct Case {
    std::vector<std::string> words;
    std::string problem;
  };
  const Case cases[] = {
      {{"--baud", "12345"}, "--baud 12345"},
      {{"--baud", "9600bps"}, "--baud 9600bps"},
      {{"--parity", "purple"}, "--parity purple"},
      {{"--data-bits", "9"}, "--data-bits 9"},
      {{"--stop-bits", "3"}, "--stop-bits 3"},
      {{"--data-bits", "4"}, "--data-bits 4 (a serial port cannot send 4-bit characters)"},
      {{"--stop-bits", "1.5"}, "--stop-bits 1.5 (1.5 stop bits only with --data-bits 5)"},
      {{"--data-bits", "8", "--stop-bits", "1.5"},
       "--stop-bits 1.5 (1.5 stop bits only with --data-bits 5)"},
  };
  const LineSettings defaults{br009600, pbNone, dbEight, sbOne};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problem);
    std::string problem;
    EXPECT_FALSE(LineSettingsFromArgs(
                     ParseCliArgs(c.words, {"baud", "parity", "data-bits", "stop-bits"}, {}),
                     defaults, problem)
                     .has_value());
    EXPECT_EQ(problem, c.problem);
  }
}

}  // namespace
}  // namespace quorvel
