// A device that refuses a command: refused twice and then accepted, the run
// goes on; refused again and again, the run ends within a bounded time and
// says what the device refused and how often, even when the device answers
// the reconnect in between.
#include <gtest/gtest.h>

#include "engine_test_support.h"
#include "run/log_texts.h"

namespace quorvel::test {
namespace {

constexpr uint32_t kBase = 0x1000;
constexpr uint16_t kBlock = 256;
// Blocks go out second first: 0x1100, 0x1200, then 0x1000.
constexpr uint32_t kFirstWritten = kBase + kBlock;
constexpr uint32_t kSecondWritten = kBase + 2 * kBlock;

Bytes Image(size_t size) {
  Bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 11 + 3);
  return image;
}

uint32_t WriteAddress(const Bytes& command) {
  return command[6] | command[7] << 8 | command[8] << 16 | static_cast<uint32_t>(command[9]) << 24;
}

struct RefusalCase {
  const char* name;
  uint8_t command;        // the refused bootloader command
  uint32_t blockAddress;  // the refused write's block; 0: any command of the code
  uint8_t errorCode;      // 3: the run reconnects; 4: the command is repeated
  uint32_t boundMs;       // the run ends within this (simulated) time
  RunCause cause;
  std::string refused;  // the line after "- The device refused "
};

class RefusalTest : public ::testing::TestWithParam<RefusalCase> {
 protected:
  // The instrument refuses the case's command `times` times, then accepts
  // it. Returns the simulated time the run took.
  uint32_t Run(int times) {
    const RefusalCase& c = GetParam();
    h.instrument.fault = [this, &c, times](const Bytes& cmd) -> std::optional<Bytes> {
      if (cmd[1] != c.command) return std::nullopt;
      if (c.blockAddress != 0 && WriteAddress(cmd) != c.blockAddress) return std::nullopt;
      if (refusals_ >= times) return std::nullopt;
      ++refusals_;
      return Bytes{0x7F, c.errorCode};
    };
    const std::string file = h.WriteQvl("rz.qvl", image_, 12, 0, kBase);
    EXPECT_TRUE(h.Start(h.RowIndex("RZ-303"), file));
    return h.RunFor(120000);
  }

  const Bytes image_ = Image(3 * kBlock);
  EngineHarness h;
  int refusals_ = 0;
};

TEST_P(RefusalTest, RefusedTwiceThenAcceptedTheRunGoesOn) {
  Run(2);
  EXPECT_EQ(refusals_, 2);
  EXPECT_TRUE(h.engine->LastOutcome().Success) << h.log.Text();
  EXPECT_EQ(h.instrument.Read(kBase, 3 * kBlock), image_);
}

TEST_P(RefusalTest, RefusedAgainAndAgainTheRunEndsSayingWhat) {
  const RefusalCase& c = GetParam();
  const uint32_t elapsed = Run(1000);
  EXPECT_LE(elapsed, c.boundMs);
  EXPECT_EQ(refusals_, 3);
  const RunOutcome& outcome = h.engine->LastOutcome();
  EXPECT_FALSE(outcome.Success);
  EXPECT_EQ(outcome.Cause, c.cause);
  EXPECT_EQ(h.LogCount("- The device refused " + c.refused), 1) << h.log.Text();
  EXPECT_FALSE(h.LogHas("- Timeout occured"));
  ASSERT_EQ(h.prompt.shown.size(), 1u);
  const std::string& message = h.prompt.shown[0].text;
  if (c.cause == RunCause::DeviceRefused) {
    const std::string detail =
        " programming was unsuccessful.\r\n\r\nThe device refused " + c.refused + ".";
    ASSERT_GE(message.size(), detail.size());
    EXPECT_EQ(message.substr(message.size() - detail.size()), detail) << message;
  } else {
    EXPECT_NE(message.find("\r\n\r\nThe device refused " + c.refused + ".\r\n\r\n"),
              std::string::npos)
        << message;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RefusalTest,
    ::testing::Values(
        // Each refusal sends the run back to connecting; the connect and the
        // device information are answered every time.
        RefusalCase{"erase", 3, 0, 3, 1000, RunCause::DeviceRefused,
                    "to erase its program memory 3 times"},
        RefusalCase{"connect", 1, 0, 3, 1000, RunCause::DeviceRefused, "the connection 3 times"},
        RefusalCase{"deviceInformation", 2, 0, 3, 1000, RunCause::DeviceRefused,
                    "to give its device information 3 times"},
        // The first block is sent again after the erase's wait of 20 s.
        RefusalCase{"firstBlock", 4, kFirstWritten, 4, 40000, RunCause::DeviceRefused,
                    "to write data block 0x1100 - 0x11FF 3 times"},
        // Reconnected and erased after each refusal: the erase's
        // acknowledgement does not clear the block's refusals.
        RefusalCase{"firstBlockReconnecting", 4, kFirstWritten, 3, 1000, RunCause::DeviceRefused,
                    "to write data block 0x1100 - 0x11FF 3 times"},
        RefusalCase{"laterBlock", 4, kSecondWritten, 4, 10000, RunCause::DeviceRefused,
                    "to write data block 0x1200 - 0x12FF 3 times"},
        // Writing starts over after each reconnect: the first block's
        // acknowledgement does not clear the later block's refusals.
        RefusalCase{"laterBlockReconnecting", 4, kSecondWritten, 3, 1000, RunCause::DeviceRefused,
                    "to write data block 0x1200 - 0x12FF 3 times"},
        // The image is in the device, its restart was never confirmed.
        RefusalCase{"reset", 5, 0, 4, 10000, RunCause::RestartNotConfirmed, "to reset 3 times"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RefusalTextTest, PolishLine) {
  EngineHarness h;
  Language = 0;
  h.instrument.fault = [](const Bytes& cmd) -> std::optional<Bytes> {
    if (cmd[1] == 3) return Bytes{0x7F, 0x03};
    return std::nullopt;
  };
  const std::string file = h.WriteQvl("rz.qvl", Image(kBlock), 12, 0, kBase);
  ASSERT_TRUE(h.Start(h.RowIndex("RZ-303"), file));
  h.RunFor(10000);
  EXPECT_TRUE(h.LogHas("- Urządzenie odmówiło skasowania pamięci programu 3 razy")) << h.log.Text();
  ASSERT_EQ(h.prompt.shown.size(), 1u);
  EXPECT_EQ(h.prompt.shown[0].text,
            "Programowanie RZ-303 nr 4660/66 nie powiodło się.\r\n\r\nUrządzenie odmówiło "
            "skasowania pamięci programu 3 razy.");
}

}  // namespace
}  // namespace quorvel::test
