#include "run/reply_watch.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes joined;
  for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

// A block whose data looks like replies: its echo must not pass for one.
Bytes ReplyLikeBlock() {
  Bytes block(256, 0x11);
  const Bytes looks = {0x80, 0x04, 0x00, 0x10, 0x00, 0x00, 0x7F, 0x04, 0x80, 0x01};
  std::copy(looks.begin(), looks.end(), block.begin() + 40);
  std::copy(looks.begin(), looks.end(), block.end() - static_cast<std::ptrdiff_t>(looks.size()));
  return block;
}

const Bytes kWrite = BuildWriteCommand(0x1234, 0x0042, 0x1000, ReplyLikeBlock());
const Bytes kWriteAck = {0x80, 0x04, 0x00, 0x10, 0x00, 0x00};
const Bytes kEarlierAck = {0x80, 0x04, 0x00, 0x0F, 0x00, 0x00};
const Bytes kIdentify = BuildAppFrame(0x01, 6, nullptr, 0);
// An identify reply whose data holds a start and an end byte.
const Bytes kIdentifyData = {0xA1, 0x68, 0x16, 'M', '-', '5', '3', '0', 0, '1', '.', '2', 0};
const Bytes kIdentifyReply =
    BuildAppFrame(0x81, 6, kIdentifyData.data(), static_cast<uint16_t>(kIdentifyData.size()));

struct Case {
  const char* name;
  TProtocol protocol;
  Bytes sent;
  Bytes received;
  // Bytes taken when an answer is complete, fed one byte at a time.
  std::vector<size_t> completeAt;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

std::vector<Case> Cases() {
  const size_t reply = kIdentifyReply.size();
  return {
      {"connect", TProtocol::Boot, BuildBootCommand(kBootConnect), {0x80, 0x01}, {2}},
      {"deviceInformation",
       TProtocol::Boot,
       BuildBootCommand(kBootReadInfo),
       Join({{0x80, 0x02}, Bytes(18, 0x80)}),
       {20}},
      {"noiseBeforeTheReply",
       TProtocol::Boot,
       BuildEraseCommand(1, 2),
       {0x00, 0x55, 0x16, 0x80, 0x03},
       {5}},
      {"echoGluedToTheAcknowledgement",
       TProtocol::Boot,
       kWrite,
       Join({kWrite, kWriteAck}),
       {kWrite.size() + 6}},
      {"echoAloneIsNoAnswer", TProtocol::Boot, kWrite, kWrite, {}},
      {"refusal", TProtocol::Boot, kWrite, {0x7F, 0x04}, {2}},
      {"truncatedAcknowledgement", TProtocol::Boot, kWrite, {0x80, 0x04, 0x00, 0x10}, {}},
      {"lateAnswerThenTheAwaitedOne",
       TProtocol::Boot,
       kWrite,
       Join({kEarlierAck, kWriteAck}),
       {6, 12}},
      {"resetAwaitedLengthCounts",
       TProtocol::Boot,
       BuildBootCommand(kBootReset),
       {0x80, 0x05, 0x80, 0x05},
       {2, 4}},
      {"appFrame", TProtocol::App, kIdentify, kIdentifyReply, {reply}},
      {"appFrameAfterItsEchoAndNoise",
       TProtocol::App,
       kIdentify,
       Join({kIdentify, {0x55, 0x16}, kIdentifyReply}),
       {kIdentify.size() + 2 + reply}},
      {"appFrameAfterAStartByteWithAShortLength",
       TProtocol::App,
       kIdentify,
       Join({{0x68, 0x05, 0x00}, kIdentifyReply}),
       {3 + reply}},
      {"appEchoAloneIsNoAnswer", TProtocol::App, kIdentify, kIdentify, {}},
  };
}

class ReplyWatchTest : public ::testing::TestWithParam<Case> {};

TEST_P(ReplyWatchTest, CompleteWithTheLastByteOfEachAnswer) {
  const Case& c = GetParam();
  ReplyWatch watch(c.protocol, c.sent);
  std::vector<size_t> completeAt;
  for (size_t i = 0; i < c.received.size(); ++i) {
    if (watch.Take(std::span<const uint8_t>(&c.received[i], 1))) completeAt.push_back(i + 1);
  }
  EXPECT_EQ(completeAt, c.completeAt);

  ReplyWatch whole(c.protocol, c.sent);
  EXPECT_EQ(whole.Take(c.received), !c.completeAt.empty()) << "all bytes at once";
}

TEST_P(ReplyWatchTest, CutAnywhereBeforeTheFirstAnswerEnds) {
  // The piece that holds an answer's last byte completes it, whatever came
  // before in how many pieces.
  const Case& c = GetParam();
  if (c.completeAt.empty()) return;
  for (size_t cut = 1; cut < c.completeAt.front(); ++cut) {
    ReplyWatch watch(c.protocol, c.sent);
    const std::span<const uint8_t> bytes(c.received);
    EXPECT_FALSE(watch.Take(bytes.first(cut))) << "cut after " << cut;
    EXPECT_TRUE(watch.Take(bytes.subspan(cut, c.completeAt.front() - cut))) << "cut after " << cut;
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, ReplyWatchTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReplyWatchTest, AsTheLinkTakesIt) {
  AnswerComplete complete =
      ReplyWatch(TProtocol::Boot, BuildBootCommand(kBootConnect)).AsAnswerComplete();
  const Bytes first = {0x80};
  const Bytes second = {0x01};
  EXPECT_FALSE(complete(first));
  EXPECT_TRUE(complete(second));
}

}  // namespace
}  // namespace quorvel
