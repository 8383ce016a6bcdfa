// Replies as a line delivers them: cut into chunks at every byte boundary,
// with and without the echo of the command in front (whole, in pieces or
// glued to the reply), at every baud rate of the device table, in simulated
// line time. Every run must write the image with each command sent once.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "engine_test_support.h"

namespace quorvel::test {
namespace {

constexpr uint32_t kBase = 0x8000;
constexpr uint16_t kBlock = 256;
constexpr size_t kBlocks = 2;

Bytes Image(size_t size) {
  Bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 29 + 3);
  return image;
}

Bytes Text(const std::string& text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

// The rates of the device table, each once.
std::vector<uint8_t> TableBauds() {
  std::set<uint8_t> bauds;
  for (const TDevAvailData& row : BuildDeviceList()) bauds.insert(row.BaudIndex);
  return {bauds.begin(), bauds.end()};
}

// How a stream of received bytes is cut: once after `at` bytes, or into
// pieces of `at` bytes.
enum class Cut { Once, Every };

std::vector<Bytes> CutStream(const Bytes& stream, Cut cut, size_t at) {
  std::vector<Bytes> chunks;
  size_t first = 0;
  while (first < stream.size()) {
    const size_t end =
        (cut == Cut::Every || first == 0) ? std::min(stream.size(), first + at) : stream.size();
    chunks.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(first),
                        stream.begin() + static_cast<std::ptrdiff_t>(end));
    first = end;
  }
  return chunks;
}

// The line between the engine and the instrument: the command crosses it,
// then the reply (behind the command's echo on a line that hears itself)
// arrives in the chunks given, each when its last byte has crossed.
class PacedLine {
 public:
  PacedLine(EngineHarness& h, uint8_t baud, bool echo) : h_(h), echo_(echo) {
    h_.line = LineSettings{baud, pbNone, dbEight, sbOne};
    bytesPerSecond_ = BytesPerSecond(h_.line);
    h_.deliver = [this](const Bytes& sent, const Bytes& reply) { Deliver(sent, reply); };
  }

  void CutAt(Cut cut, size_t at) {
    cut_ = cut;
    at_ = at;
  }

 private:
  void Pass(size_t bytes) {
    micros_ += bytes * 1000000 / bytesPerSecond_;
    h_.clock.now += static_cast<uint32_t>(micros_ / 1000);
    micros_ %= 1000;
  }

  // Each chunk also goes to the answer check the engine gave the link for
  // this command: only the chunk with the reply's last byte completes it (a
  // link hands that chunk on at once, the others after the frame gap).
  void Deliver(const Bytes& sent, const Bytes& reply) {
    Bytes stream = echo_ ? sent : Bytes{};
    if (!echo_) Pass(sent.size());
    stream.insert(stream.end(), reply.begin(), reply.end());
    ASSERT_EQ(h_.serial.sent.back(), sent) << "answered after the next command went out";
    ASSERT_TRUE(h_.serial.answerComplete) << "no answer check for the command sent";
    AnswerComplete complete = h_.serial.answerComplete;
    const std::vector<Bytes> chunks = CutStream(stream, cut_, at_);
    for (size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_EQ(complete(chunks[i]), !reply.empty() && i + 1 == chunks.size())
          << "chunk " << i + 1 << " of " << chunks.size() << " after a command of " << sent.size()
          << " bytes";
      Pass(chunks[i].size());
      h_.Feed(chunks[i]);
    }
  }

  EngineHarness& h_;
  bool echo_;
  uint32_t bytesPerSecond_ = 1;
  uint64_t micros_ = 0;
  Cut cut_ = Cut::Once;
  size_t at_ = 1;
};

// The first command the device answers: a device in its user application
// hears the bootloader's connect commands of the run's first seconds but
// does not answer them.
size_t FirstAnswered(const EngineHarness& h) {
  const auto& sent = h.serial.sent;
  const auto app = std::find_if(sent.begin(), sent.end(),
                                [](const Bytes& b) { return !b.empty() && b[0] == 0x68; });
  return app == sent.end() ? 0 : static_cast<size_t>(app - sent.begin());
}

using LineParam = std::tuple<uint8_t, bool>;

class LineChunksTest : public ::testing::TestWithParam<LineParam> {
 protected:
  uint8_t Baud() const { return std::get<0>(GetParam()); }
  bool Echo() const { return std::get<1>(GetParam()); }

  // Programs the image once for every cut of every stream (up to `longest`
  // bytes); each run must succeed with `commands` commands from the first
  // one the device answered, none repeated.
  void ExpectEveryCutReassembled(EngineHarness& h, PacedLine& line, int row,
                                 const std::string& file, size_t longest, size_t commands,
                                 const std::function<void()>& resetDevice) {
    for (Cut cut : {Cut::Once, Cut::Every}) {
      for (size_t at = 1; at < longest; ++at) {
        SCOPED_TRACE(std::string(cut == Cut::Once ? "cut once after " : "cut every ") +
                     std::to_string(at) + " bytes");
        resetDevice();
        h.progress = RunProgress{};
        h.serial.sent.clear();
        h.serial.answerChecks = 0;
        line.CutAt(cut, at);
        ASSERT_TRUE(h.Start(row, file));
        h.RunFor(60000);
        ASSERT_TRUE(h.engine->LastOutcome().Success) << h.log.Text();
        EXPECT_EQ(h.serial.sent.size() - FirstAnswered(h), commands) << h.log.Text();
        EXPECT_EQ(h.serial.answerChecks, static_cast<int>(h.serial.sent.size()));
        ASSERT_EQ(h.instrument.Read(kBase, kBlocks * kBlock), Image(kBlocks * kBlock));
      }
    }
  }
};

TEST_P(LineChunksTest, BootloaderRepliesCutAtEveryByteBoundaryAreReassembled) {
  EngineHarness h;
  PacedLine line(h, Baud(), Echo());
  const std::string file = h.WriteQvl("kv.qvl", Image(kBlocks * kBlock), 1, 0, kBase);
  // Connect, device information, erase, the blocks, reset.
  const size_t commands = 3 + kBlocks + 1;
  // The longest stream: a write command's echo and its 6-byte acknowledgement,
  // or without echo the 20-byte device information.
  const size_t longest = Echo() ? kWriteCommandOverhead + kBlock + 6 : 20;
  h.instrument.deviceCode = 1;
  ExpectEveryCutReassembled(h, line, h.RowIndex("KV-310"), file, longest, commands,
                            [&h] { h.instrument.flash.clear(); });
}

TEST_P(LineChunksTest, UserApplicationFramesCutAtEveryByteBoundaryAreReassembled) {
  EngineHarness h;
  PacedLine line(h, Baud(), Echo());
  TestInstrument& dev = h.instrument;
  dev.appCommand = 6;
  dev.deviceCode = 6;
  dev.identifyData = Bytes{0xA1, 0xB2};
  const Bytes model = Text("M-530");
  const Bytes version = Text("1.2");
  dev.identifyData.insert(dev.identifyData.end(), model.begin(), model.end());
  dev.identifyData.insert(dev.identifyData.end(), version.begin(), version.end());
  const std::string file = h.WriteQvl("m.qvl", Image(kBlocks * kBlock), 6, 0, kBase);
  // Identify and enter-bootloader requests, then the bootloader's commands.
  const size_t commands = 2 + 3 + kBlocks + 1;
  const size_t identifyReply = kAppFrameMinLength + dev.identifyData.size();
  const size_t longest = Echo() ? kWriteCommandOverhead + kBlock + 6 : 20;
  ASSERT_GT(longest, identifyReply + (Echo() ? 8u : 0u));
  ExpectEveryCutReassembled(h, line, h.RowIndex("M-530"), file, longest, commands, [&dev] {
    dev.inBootloader = false;
    dev.flash.clear();
  });
}

INSTANTIATE_TEST_SUITE_P(TableBauds, LineChunksTest,
                         ::testing::Combine(::testing::ValuesIn(TableBauds()), ::testing::Bool()),
                         [](const auto& info) {
                           return "baud" + std::to_string(BaudRateValue(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "_echo" : "_plain");
                         });

}  // namespace
}  // namespace quorvel::test
