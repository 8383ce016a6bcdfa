// The echo filter on its own: what it hands on for echoes cut anywhere,
// near misses, answers that resemble the command, and long frames.
#include "run/echo_filter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;

bool BootAnswerStart(uint8_t b) {
  return b == 0x80 || b == 0x7F;
}

Bytes Pass(EchoFilter& filter, const std::vector<Bytes>& chunks) {
  Bytes out;
  for (const Bytes& chunk : chunks) filter.Filter(chunk, BootAnswerStart, out);
  return out;
}

struct FilterCase {
  const char* name;
  Bytes sent;
  std::vector<Bytes> chunks;
  Bytes handedOn;
};

class EchoFilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(EchoFilterTest, HandsOnWhatIsNotTheEcho) {
  const FilterCase& c = GetParam();
  EchoFilter filter;
  filter.Expect(c.sent);
  EXPECT_EQ(Pass(filter, c.chunks), c.handedOn);
}

const Bytes kWrite{0xB0, 0x04, 0x12, 0x34, 0x80, 0x01, 0xB0, 0x04};

INSTANTIATE_TEST_SUITE_P(
    Cases, EchoFilterTest,
    ::testing::Values(
        FilterCase{"wholeEcho", {0xB0, 0x01}, {{0xB0, 0x01}}, {}},
        FilterCase{"echoThenReply", {0xB0, 0x01}, {{0xB0, 0x01}, {0x80, 0x01}}, {0x80, 0x01}},
        FilterCase{"echoByteByByte",
                   kWrite,
                   {{0xB0}, {0x04}, {0x12}, {0x34}, {0x80}, {0x01}, {0xB0}, {0x04}, {0x80, 0x04}},
                   {0x80, 0x04}},
        FilterCase{"echoGluedToReply",
                   kWrite,
                   {{0xB0, 0x04, 0x12}, {0x34, 0x80, 0x01, 0xB0, 0x04, 0x80, 0x04}},
                   {0x80, 0x04}},
        // Differs in its last byte: every byte held is handed on.
        FilterCase{"nearMiss",
                   kWrite,
                   {{0xB0, 0x04, 0x12, 0x34, 0x80, 0x01, 0xB0}, {0x05}},
                   {0xB0, 0x04, 0x12, 0x34, 0x80, 0x01, 0xB0, 0x05}},
        // The held bytes' tail begins the echo itself: only the front goes on.
        FilterCase{"echoBehindAStrayStart",
                   {0xB0, 0xB0, 0x01},
                   {{0xB0, 0xB0, 0xB0, 0x01, 0x80, 0x01}},
                   {0xB0, 0x80, 0x01}},
        // Once an answer has begun, its bytes are the answer's even where
        // they look like the command.
        FilterCase{"commandInsideTheAnswer",
                   {0xB0, 0x02},
                   {{0x80, 0x02, 0x34, 0xB0, 0x02, 0x00}},
                   {0x80, 0x02, 0x34, 0xB0, 0x02, 0x00}},
        FilterCase{"commandInsideTheAnswerAcrossChunks",
                   {0xB0, 0x02},
                   {{0x80, 0x02, 0xB0}, {0x02, 0x00}},
                   {0x80, 0x02, 0xB0, 0x02, 0x00}},
        // A chunk that is exactly the frame sent is its echo wherever it comes.
        FilterCase{"echoChunkInsideASplitReply",
                   {0xB0, 0x01},
                   {{0x80}, {0xB0, 0x01}, {0x01}},
                   {0x80, 0x01}},
        FilterCase{"secondCopyIsData", {0xB0, 0x01}, {{0xB0, 0x01}, {0xB0, 0x01}}, {0xB0, 0x01}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EchoFilterTest, NothingExpectedPassesEverything) {
  EchoFilter filter;
  EXPECT_EQ(Pass(filter, {{0xB0, 0x01}, {0x80, 0x01}}), (Bytes{0xB0, 0x01, 0x80, 0x01}));
  filter.Expect(Bytes{0xB0, 0x01});
  Bytes sink;
  filter.Filter(Bytes{0xB0}, BootAnswerStart, sink);
  EXPECT_TRUE(sink.empty());
  EXPECT_EQ(filter.Held(), 1u);
  // A new frame sent drops what was held of the earlier one's echo.
  filter.Expect(Bytes{0xB0, 0x02});
  EXPECT_EQ(filter.Held(), 0u);
  EXPECT_EQ(Pass(filter, {{0xB0, 0x02, 0x80, 0x02}}), (Bytes{0x80, 0x02}));
}

// A 64 KiB frame of equal bytes and an echo that differs at its end, byte
// by byte: every fall-back must be cheap, and everything comes out in order.
TEST(EchoFilterTest, LongFrameWithALateDifferenceStaysLinear) {
  Bytes sent(65535, 0xB0);
  sent.back() = 0x01;
  Bytes received(65535, 0xB0);
  received.push_back(0x02);
  EchoFilter filter;
  filter.Expect(sent);
  Bytes out;
  const auto start = std::chrono::steady_clock::now();
  for (uint8_t b : received) filter.Filter(Bytes{b}, BootAnswerStart, out);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(out.size() + filter.Held(), received.size());
  EXPECT_EQ(filter.Held(), 0u);
  EXPECT_EQ(out, received);
  EXPECT_LT(elapsed, std::chrono::seconds(2));
}

}  // namespace
}  // namespace quorvel
