#include "sim/sim_options.h"

#include <gtest/gtest.h>

namespace quorvel::sim {
namespace {

TEST(SimOptions, EveryOptionReachesTheInstrument) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(ParseSimOptions({"--device",
                               "btq-20 .rs485",
                               "--baud",
                               "125000",
                               "--mode",
                               "boot",
                               "--serial",
                               "7/0x10",
                               "--block-size",
                               "128",
                               "--boot-version",
                               "1.2",
                               "--protocol",
                               "0",
                               "--device-code",
                               "0x2A",
                               "--app-model",
                               "X",
                               "--app-version",
                               "V9",
                               "--address",
                               "65534",
                               "--link",
                               "/tmp/l",
                               "--save",
                               "/tmp/s.hex",
                               "--log",
                               "--quiet",
                               "--negative",
                               "4:3",
                               "--negative",
                               "0:1:9",
                               "--wrong-address",
                               "2",
                               "--echo",
                               "--echo-gap",
                               "80",
                               "--noise",
                               "3",
                               "--min-command-gap",
                               "40",
                               "--silent-after",
                               "5",
                               "--odd-block-size",
                               "--ignore-reset",
                               "--freeze-after-block",
                               "3:1.25",
                               "--hangup-after-block",
                               "7"},
                              o, error))
      << error;
  const InstrumentOptions& i = o.Instrument;
  EXPECT_EQ(i.Device.Name, "BTQ-20 .RS485");
  EXPECT_EQ(i.Device.Rs485, 1);
  EXPECT_EQ(o.Line.Baud, br125000);
  EXPECT_EQ(i.StartMode, InstrumentMode::Bootloader);
  EXPECT_EQ(i.SerialPart1, 7);
  EXPECT_EQ(i.SerialPart2, 16);
  EXPECT_EQ(i.BlockSize, 128);
  EXPECT_EQ(i.BootVersion, "1.2");
  EXPECT_EQ(i.ProtocolVersion, 0);
  EXPECT_EQ(i.DeviceCode, 42);
  EXPECT_EQ(i.AppModel, "X");
  EXPECT_EQ(i.AppVersion, "V9");
  EXPECT_EQ(i.BusAddress, 65534);
  EXPECT_EQ(o.LinkPath, "/tmp/l");
  EXPECT_EQ(o.SavePath, "/tmp/s.hex");
  EXPECT_TRUE(o.Log && o.Quiet);
  ASSERT_EQ(i.Faults.NegativeReplies.size(), 2u);
  EXPECT_EQ(i.Faults.NegativeReplies[0].Command, 4);
  EXPECT_EQ(i.Faults.NegativeReplies[0].Count, 3u);
  EXPECT_EQ(i.Faults.NegativeReplies[0].ErrorCode, 4);
  EXPECT_EQ(i.Faults.NegativeReplies[1].ErrorCode, 9);
  EXPECT_EQ(i.Faults.WrongAddressAcks, 2u);
  EXPECT_TRUE(i.Faults.Echo);
  EXPECT_EQ(o.EchoGapMs, 80u);
  EXPECT_EQ(i.Faults.NoiseBytes, 3u);
  EXPECT_EQ(o.MinCommandGapMs, 40u);
  EXPECT_EQ(i.Faults.AnswersBeforeSilence, 5u);
  EXPECT_TRUE(i.Faults.OddBlockSizeOnce);
  EXPECT_TRUE(i.Faults.IgnoreReset);
  EXPECT_EQ(i.Faults.FreezeAfterWrite.AfterWrite, 3u);
  EXPECT_EQ(i.Faults.FreezeAfterWrite.Milliseconds, 1250u);
  EXPECT_EQ(i.Faults.HangUpAfterWrite, 7u);
}

TEST(SimOptions, NegativeCountZeroMeansEveryCommand) {
  struct Case {
    const char* text;
    uint8_t command;
    std::optional<uint32_t> count;
    uint8_t error;
  };
  const Case cases[] = {
      {"5", 5, 1, 5},
      {"5:1:5", 5, 1, 5},
      {"5:0:5", 5, std::nullopt, 5},
      {"5:0", 5, std::nullopt, 5},
      {"0:0", 0, std::nullopt, 4},
      {"4:3:9", 4, 3, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SimOptions o;
    std::string error;
    ASSERT_TRUE(ParseSimOptions({"--device", "M-530", "--negative", c.text}, o, error)) << error;
    ASSERT_EQ(o.Instrument.Faults.NegativeReplies.size(), 1u);
    const NegativeReplyFault& f = o.Instrument.Faults.NegativeReplies[0];
    EXPECT_EQ(f.Command, c.command);
    EXPECT_EQ(f.Count, c.count);
    EXPECT_EQ(f.ErrorCode, c.error);
  }
}

TEST(SimOptions, FreezeSecondsBecomeMilliseconds) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"1:2", 2000}, {"2:0.5", 500}, {"1:1.25", 1250}, {"9:0.005", 5}, {"1:3600", 3600000},
  };
  for (const auto& [text, ms] : cases) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(ParseSimOptions({"--device", "M-530", "--freeze-after-block", text}, o, error))
        << text << ": " << error;
    EXPECT_EQ(o.Instrument.Faults.FreezeAfterWrite.Milliseconds, ms) << text;
  }
}

TEST(SimOptions, DefaultsComeFromTheDeviceRow) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(ParseSimOptions({"--device", "TRP-40 .COM"}, o, error)) << error;
  EXPECT_EQ(o.Instrument.Device.DevCode, 2);
  EXPECT_EQ(o.Instrument.Device.Variant, 1);
  EXPECT_EQ(o.Line.Baud, br038400);
  EXPECT_FALSE(o.Instrument.StartMode.has_value());
  EXPECT_FALSE(o.Instrument.Faults.AnswersBeforeSilence.has_value());
  EXPECT_FALSE(o.Instrument.Faults.IgnoreReset);
  EXPECT_EQ(o.Instrument.Faults.FreezeAfterWrite.AfterWrite, 0u);
  EXPECT_EQ(o.Instrument.Faults.HangUpAfterWrite, 0u);
}

TEST(SimOptions, UnusableArgumentsAreRefused) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--device", "NO-SUCH"},
      {"--device", "-"},
      {"--device"},
      {"--device", "M-530", "--baud", "12345"},
      {"--device", "M-530", "--mode", "both"},
      {"--device", "M-530", "--serial", "1"},
      {"--device", "M-530", "--serial", "1/70000"},
      {"--device", "M-530", "--block-size", "255"},
      {"--device", "M-530", "--block-size", "0"},
      {"--device", "M-530", "--boot-version", "123456789"},
      {"--device", "M-530", "--address", "65535"},
      {"--device", "M-530", "--negative", "6"},
      {"--device", "M-530", "--negative", "4:x"},
      {"--device", "M-530", "--bogus"},
      {"--device", "M-530", "--freeze-after-block"},
      {"--device", "M-530", "--freeze-after-block", "1"},
      {"--device", "M-530", "--freeze-after-block", "0:1"},
      {"--device", "M-530", "--freeze-after-block", "1:"},
      {"--device", "M-530", "--freeze-after-block", ":1"},
      {"--device", "M-530", "--freeze-after-block", "1:x"},
      {"--device", "M-530", "--freeze-after-block", "1:-1"},
      {"--device", "M-530", "--freeze-after-block", "1:.5"},
      {"--device", "M-530", "--freeze-after-block", "1:1."},
      {"--device", "M-530", "--freeze-after-block", "1:1.2345"},
      {"--device", "M-530", "--freeze-after-block", "1:3600.001"},
      {"--device", "M-530", "--freeze-after-block", "1:0x10"},
      {"--device", "M-530", "--freeze-after-block", "1:2:3"},
      {"--device", "M-530", "--hangup-after-block", "0"},
      {"--device", "M-530", "--hangup-after-block", "x"},
      {"--device", "M-530", "--min-command-gap"},
      {"--device", "M-530", "--min-command-gap", "x"},
      {"--device", "M-530", "--min-command-gap", "10001"},
  };
  for (const auto& args : cases) {
    SimOptions o;
    std::string error;
    EXPECT_FALSE(ParseSimOptions(args, o, error)) << ::testing::PrintToString(args);
    EXPECT_FALSE(error.empty());
  }
}

TEST(SimOptions, TheFirstUnusableArgumentIsReported) {
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const Case cases[] = {
      {{}, "--device is required (see --list-devices)"},
      {{"--device"}, "--device needs a value"},
      {{"--device", "M-530", "--noise", "2000"},
       "--noise: expected a number from 0 to 1024, got \"2000\""},
      {{"--device", "M-530", "--baud", "12345", "--bogus"},
       "--baud: not a supported rate: \"12345\""},
      {{"--device", "M-530", "--bogus", "--baud", "12345"},
       "unknown option \"--bogus\" (see --help)"},
      {{"--help", "--mode", "both", "--noise"}, "--mode: expected app or boot, got \"both\""},
      {{"--device", "M-530", "--log=1"}, "unknown option \"--log=1\" (see --help)"},
      {{"--device", "M-530", "extra"}, "unknown option \"extra\" (see --help)"},
      {{"--device", "M-530", "--", "--log"}, "unknown option \"--\" (see --help)"},
      {{"--device", "M-530", "--link", "/tmp/l", "--fd", "3"},
       "--link needs a terminal of its own; it cannot go with --fd"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    SimOptions o;
    std::string error;
    EXPECT_FALSE(ParseSimOptions(c.args, o, error));
    EXPECT_EQ(error, c.error);
  }
}

TEST(SimOptions, ALaterOptionOverridesAnEarlierOne) {
  struct Case {
    std::vector<std::string> args;
    std::optional<uint32_t> answersBeforeSilence;
    uint8_t baud;
  };
  const Case cases[] = {
      {{"--silent-after", "5", "--silent"}, 0, br009600},
      {{"--silent", "--silent-after", "5"}, 5, br009600},
      {{"--baud", "115200", "--silent-after", "3", "--baud", "19200", "--silent-after", "4"},
       4,
       br019200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::vector<std::string> args{"--device", "M-530"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SimOptions o;
    std::string error;
    ASSERT_TRUE(ParseSimOptions(args, o, error)) << error;
    EXPECT_EQ(o.Instrument.Faults.AnswersBeforeSilence, c.answersBeforeSilence);
    EXPECT_EQ(o.Line.Baud, c.baud);
  }
}

TEST(SimOptions, ValuesAreTakenAsGivenInEitherForm) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(ParseSimOptions({"--device=M-530", "--app-model", "-X-", "--app-version=--V2",
                               "--negative=3", "--negative", "2:0"},
                              o, error))
      << error;
  EXPECT_EQ(o.DeviceText, "M-530");
  EXPECT_EQ(o.Instrument.AppModel, "-X-");
  EXPECT_EQ(o.Instrument.AppVersion, "--V2");
  ASSERT_EQ(o.Instrument.Faults.NegativeReplies.size(), 2u);
  EXPECT_EQ(o.Instrument.Faults.NegativeReplies[0].Command, 3);
  EXPECT_EQ(o.Instrument.Faults.NegativeReplies[1].Command, 2);
  EXPECT_EQ(o.Instrument.Device.Name, "M-530");
}

TEST(SimOptions, HelpNeedsNoDevice) {
  for (const char* word : {"--help", "-h"}) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(ParseSimOptions({word}, o, error)) << word << ": " << error;
    EXPECT_TRUE(o.Help) << word;
  }
}

}  // namespace
}  // namespace quorvel::sim
