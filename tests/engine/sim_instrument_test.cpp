// Whole runs against the simulated instrument of tools/sim, with its faults:
// echo on the bus, line noise, negative replies, wrongly addressed
// acknowledgements, an odd block size once, silence.
#include <gtest/gtest.h>

#include "engine_test_support.h"
#include "run/log_texts.h"
#include "sim/instrument.h"

namespace quorvel::test {
namespace {

constexpr uint32_t kBase = 0x8000;

Bytes Image(size_t size) {
  Bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 31 + 7);
  return image;
}

// Drives the engine against a simulated instrument: every command sent is
// fed to it and each of its output chunks is delivered as one received chunk.
uint32_t RunWithSim(EngineHarness& h, sim::Instrument& device, uint32_t ms) {
  h.autoAnswer = false;
  size_t fed = 0;
  uint32_t elapsed = 0;
  for (;;) {
    while (fed < h.serial.sent.size()) {
      const Bytes sent = h.serial.sent[fed++];
      for (const sim::InstrumentOutput& out : device.Feed(sent)) h.Feed(out.Bytes);
    }
    if (h.ended != RunEnd::None) {
      h.engine->Finish();
      return elapsed;
    }
    if (elapsed >= ms || !h.engine->Running()) return elapsed;
    elapsed += 100;
    h.Tick(100);
  }
}

struct SimCase {
  const char* name;
  const char* row;
  sim::InstrumentFaults faults;
  std::string busAddress;
  bool success;
};

class SimRunTest : public ::testing::TestWithParam<SimCase> {};

TEST_P(SimRunTest, RunAgainstTheSimulatedInstrument) {
  const SimCase& c = GetParam();
  EngineHarness h;
  const int row = h.RowIndex(c.row);
  sim::InstrumentOptions options;
  options.Device = h.devices[static_cast<size_t>(row)];
  options.Faults = c.faults;
  options.BusAddress = 300;
  sim::Instrument device(options);
  const Bytes image = Image(5 * 256 + 100);
  const std::string file =
      h.WriteQvl("f.qvl", image, options.Device.DevCode, options.Device.Variant, kBase);
  ASSERT_TRUE(h.Start(row, file, c.busAddress));
  RunWithSim(h, device, 60000);
  EXPECT_EQ(h.engine->LastOutcome().Success, c.success) << h.log.Text();
  if (c.success) {
    EXPECT_EQ(device.Flash().Read(kBase, static_cast<uint32_t>(image.size())), image);
    EXPECT_EQ(device.ResetCount(), 1u);
    EXPECT_TRUE(h.LogHas("- Bytes written: 1536 / 1536"));
  } else {
    EXPECT_TRUE(h.LogHas("- Timeout occured"));
    ASSERT_EQ(h.prompt.shown.size(), 1u);
    EXPECT_EQ(h.prompt.shown[0].text,
              "Device programming was unsuccessful.\r\n\r\n" + kNoConnectionAdvice.str());
  }
}

sim::InstrumentFaults Negative(uint8_t command, uint32_t count, uint8_t error) {
  sim::InstrumentFaults f;
  f.NegativeReplies.push_back({command, count, error});
  return f;
}
sim::InstrumentFaults EchoAndNoise() {
  sim::InstrumentFaults f;
  f.Echo = true;
  f.NoiseBytes = 3;
  return f;
}
sim::InstrumentFaults WrongAcks(uint32_t n) {
  sim::InstrumentFaults f;
  f.WrongAddressAcks = n;
  return f;
}
sim::InstrumentFaults OddBlockSize() {
  sim::InstrumentFaults f;
  f.OddBlockSizeOnce = true;
  return f;
}
sim::InstrumentFaults Silent() {
  sim::InstrumentFaults f;
  f.AnswersBeforeSilence = 0;
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    Runs, SimRunTest,
    ::testing::Values(SimCase{"rz303ThroughApplication", "RZ-303", {}, "", true},
                      SimCase{"m530Challenge", "M-530", {}, "", true},
                      SimCase{"trp40Serial", "TRP-40", {}, "", true},
                      SimCase{"kv310BootloaderOnly", "KV-310", {}, "", true},
                      SimCase{"btq20Rs485EchoNoise", "BTQ-20 .RS485", EchoAndNoise(), "300", true},
                      SimCase{"writeFailsTwice", "RZ-303", Negative(4, 2, 4), "", true},
                      SimCase{"eraseFailsOnce", "RZ-303", Negative(3, 1, 3), "", true},
                      SimCase{"wrongAddressTwice", "RZ-303", WrongAcks(2), "", true},
                      SimCase{"oddBlockSizeOnce", "RZ-303", OddBlockSize(), "", true},
                      SimCase{"silent", "RZ-303", Silent(), "", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvel::test
