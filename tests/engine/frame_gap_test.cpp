// The safety net of the short frame gap: a device that has answered and then
// misses or refuses a command gets the standard gap for the rest of the run,
// with one log line; a gap the user fixed, a gap that is not short, a device
// that never answered, a device that stopped for seconds and the usual
// erase-failure reconnect leave it alone.
#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "engine_test_support.h"
#include "run/log_texts.h"

namespace quorvel::test {
namespace {

constexpr uint32_t kBase = 0x1000;
constexpr uint16_t kBlock = 256;
const std::string kGapLine =
    "- Frame gap from now on: 50 ms (the device did not keep up with the shorter one)";

Bytes Image(size_t size) {
  Bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
  return image;
}

// A run of RZ-303 (three blocks) on a link whose own gap is 1 ms.
class FrameGapTest : public ::testing::Test {
 protected:
  FrameGapTest() { h.serial.autoGapMs = 1; }

  void Run(uint32_t ms = 120000) {
    const std::string file = h.WriteQvl("rz.qvl", Image(3 * kBlock), 12, 0, kBase);
    ASSERT_TRUE(h.Start(h.RowIndex("RZ-303"), file));
    h.RunFor(ms);
  }
  // Commands with these codes go unanswered the first time they are sent.
  void MissFirst(std::vector<uint8_t> codes) {
    h.instrument.fault = [this, codes](const Bytes& c) -> std::optional<Bytes> {
      if (std::find(codes.begin(), codes.end(), c[1]) == codes.end()) return std::nullopt;
      if (missed_.insert(c[1]).second) return Bytes{};
      return std::nullopt;
    };
  }
  bool Succeeded() const { return h.engine->LastOutcome().Success; }
  bool SwitchedToStandard() const {
    return !h.serial.gapChanges.empty() && h.serial.gapChanges[0] == FrameGapChoice::Standard();
  }

  EngineHarness h;
  std::set<uint8_t> missed_;
};

// A device that hears no command starting within 40 ms of its last answer:
// with the link's short gap every command sent in answer to a reply is
// lost, only the first connect and the timer's repetitions get through.
TEST_F(FrameGapTest, DeviceMissingCommandsSentSoonGetsTheStandardGapOnce) {
  std::optional<uint32_t> lastAnswer;
  h.instrument.fault = [this, &lastAnswer](const Bytes&) -> std::optional<Bytes> {
    const bool heard =
        !lastAnswer || !h.serial.frameGap.automatic || h.clock.now - *lastAnswer >= 40;
    if (!heard) return Bytes{};
    lastAnswer = h.clock.now;
    return std::nullopt;
  };
  Run();
  EXPECT_TRUE(Succeeded()) << h.log.Text();
  EXPECT_EQ(h.LogCount(kGapLine), 1);
  EXPECT_EQ(h.instrument.Read(kBase, 3 * kBlock), Image(3 * kBlock));
  // One repetition (the device information's), then every command answered.
  EXPECT_EQ(h.SentWithCode(2).size(), 2u);
  EXPECT_EQ(h.SentWithCode(4).size(), 3u);
  // Standard for the rest of the run, the link's own choice again after it.
  ASSERT_EQ(h.serial.gapChanges.size(), 2u);
  EXPECT_EQ(h.serial.gapChanges[0], FrameGapChoice::Standard());
  EXPECT_EQ(h.serial.gapChanges[1], FrameGapChoice::Auto());
  const auto at = std::find(h.Lines().begin(), h.Lines().end(), kGapLine);
  ASSERT_NE(at, h.Lines().end());
  EXPECT_EQ(*(at - 1), "- Reading device information: ..........");
  EXPECT_EQ(*(at + 1), "- Reading device information: ..........");
}

struct NetCase {
  const char* name;
  uint16_t autoGapMs;               // the link's own gap
  std::optional<uint16_t> fixedMs;  // a gap the user fixed
  std::vector<uint8_t> missFirst;   // commands unanswered the first time
  int refuseWrite;                  // this write (from 1) refused once; 0: none
  bool switches;
};

class FrameGapCaseTest : public FrameGapTest, public ::testing::WithParamInterface<NetCase> {};

TEST_P(FrameGapCaseTest, StandardGapOnlyWhereTheShortGapIsTheLikelyCause) {
  const NetCase& c = GetParam();
  h.serial.autoGapMs = c.autoGapMs;
  if (c.fixedMs) h.serial.frameGap = FrameGapChoice::Fixed(*c.fixedMs);
  MissFirst(c.missFirst);
  auto missFault = h.instrument.fault;
  int writes = 0;
  h.instrument.fault = [&c, &writes, missFault](const Bytes& cmd) -> std::optional<Bytes> {
    if (cmd[1] == 4 && ++writes == c.refuseWrite) return Bytes{0x7F, 0x04};
    return missFault(cmd);
  };
  Run();
  EXPECT_TRUE(Succeeded()) << h.log.Text();
  EXPECT_EQ(h.LogCount(kGapLine), c.switches ? 1 : 0) << h.log.Text();
  EXPECT_EQ(SwitchedToStandard(), c.switches);
  EXPECT_EQ(h.instrument.Read(kBase, 3 * kBlock), Image(3 * kBlock));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameGapCaseTest,
    ::testing::Values(NetCase{"missedAfterAnAnswer", 1, std::nullopt, {2}, 0, true},
                      NetCase{"missedWriteAfterAnAnswer", 1, std::nullopt, {4}, 0, true},
                      NetCase{"refusedAfterTheSameWasAcknowledged", 1, std::nullopt, {}, 2, true},
                      // Nothing answered yet: a device that is not there (yet).
                      NetCase{"missedFirstConnect", 1, std::nullopt, {1}, 0, false},
                      // The first write refused: nothing says the gap is the cause.
                      NetCase{"firstWriteRefused", 1, std::nullopt, {}, 1, false},
                      NetCase{"gapFixedByTheUser", 1, uint16_t{2}, {2}, 0, false},
                      // At slow rates the link's own gap is the standard one or longer.
                      NetCase{"gapNotShort", 100, std::nullopt, {2}, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A device that stops for seconds right after an answer misses the command
// that followed it and every repetition until it goes on; then it answers
// all it was sent, in order. Commands sent as soon after an answer were
// heard before: the gap is not the cause, and it stays.
TEST_F(FrameGapTest, DeviceThatStopsForSecondsKeepsTheGap) {
  for (uint32_t stopMs : {6000u, 12000u, 22000u}) {
    SCOPED_TRACE(stopMs);
    EngineHarness run;
    run.serial.autoGapMs = 1;
    std::optional<uint32_t> stoppedUntil;
    std::vector<Bytes> unanswered;
    int writes = 0;
    run.instrument.fault = [&](const Bytes& c) -> std::optional<Bytes> {
      if (stoppedUntil) {
        unanswered.push_back(c);
        return Bytes{};
      }
      // The second write is answered, then the device stops.
      if (c[1] == 4 && ++writes == 2) stoppedUntil = run.clock.now + stopMs;
      return std::nullopt;
    };
    const Bytes image = Image(3 * kBlock);
    const std::string file = run.WriteQvl("rz.qvl", image, 12, 0, kBase);
    ASSERT_TRUE(run.Start(run.RowIndex("RZ-303"), file));
    for (uint32_t t = 0; t < 60000 && run.engine->Running(); t += 100) {
      if (stoppedUntil && run.clock.now >= *stoppedUntil) {
        stoppedUntil.reset();
        for (const Bytes& c : std::exchange(unanswered, {})) run.Feed(run.instrument.Answer(c));
      }
      run.RunFor(100);
    }
    EXPECT_TRUE(run.engine->LastOutcome().Success) << run.log.Text();
    EXPECT_GE(run.SentWithCode(4).size(), 4u);  // the last block went out again
    EXPECT_EQ(run.LogCount(kGapLine), 0) << run.log.Text();
    EXPECT_TRUE(run.serial.gapChanges.empty());
    EXPECT_EQ(run.instrument.Read(kBase, 3 * kBlock), image);
  }
}

TEST_F(FrameGapTest, EraseFailureReconnectIsNotAMissedCommand) {
  int refusals = 1;
  h.instrument.fault = [&refusals](const Bytes& c) -> std::optional<Bytes> {
    if (c[1] == 3 && refusals-- > 0) return Bytes{0x7F, 0x03};
    return std::nullopt;
  };
  Run();
  EXPECT_TRUE(h.LogHas("- Erasing program memory: error"));
  EXPECT_TRUE(Succeeded()) << h.log.Text();
  EXPECT_EQ(h.LogCount(kGapLine), 0);
  EXPECT_TRUE(h.serial.gapChanges.empty());
}

TEST_F(FrameGapTest, PolishLine) {
  Language = 0;
  MissFirst({2});
  Run();
  EXPECT_EQ(h.LogCount("- Odstęp ramek od teraz: 50 ms (urządzenie nie nadążało za krótszym "
                       "odstępem)"),
            1);
}

}  // namespace
}  // namespace quorvel::test
