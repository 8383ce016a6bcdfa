#include "run/bus_frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "datafile/utilities.h"

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Text(const char* text, size_t length) {
  return Bytes(reinterpret_cast<const uint8_t*>(text),
               reinterpret_cast<const uint8_t*>(text) + length);
}

// The received bytes of an accumulator, without the zero byte kept after them.
Bytes Received(const ByteBlock& block) {
  auto bytes = block.Bytes();
  if (bytes.empty()) return {};
  EXPECT_EQ(bytes.back(), 0) << "the zero byte after the received bytes is missing";
  return Bytes(bytes.begin(), bytes.end() - 1);
}

// Feeds one arrival as the receive handler does; returns the frame taken off
// the front, empty when the call returned 0.
Bytes Feed(ByteBlock& accumulator, const Bytes& arrival) {
  const uint32_t length =
      ExtractAppFrame(accumulator, arrival.data(), static_cast<uint32_t>(arrival.size()));
  if (length == 0) return {};
  Bytes frame(length);
  EXPECT_TRUE(accumulator.TakeFront(length, frame.data()));
  return frame;
}

TEST(ByteBlockTest, CreateResizeFreeAndLength) {
  ByteBlock block;
  EXPECT_FALSE(block.IsPresent());
  EXPECT_EQ(block.Length(), 0u);
  EXPECT_EQ(block.Lock(), nullptr);
  EXPECT_FALSE(block.IsLocked());

  block.Create(4);
  EXPECT_TRUE(block.IsPresent());
  EXPECT_EQ(Bytes(block.Bytes().begin(), block.Bytes().end()), Bytes(4, 0));
  uint8_t* bytes = block.Lock();
  ASSERT_NE(bytes, nullptr);
  bytes[0] = 7;
  bytes[3] = 9;
  block.Unlock();

  block.Resize(6);
  EXPECT_EQ(Bytes(block.Bytes().begin(), block.Bytes().end()), (Bytes{7, 0, 0, 9, 0, 0}));
  block.Resize(2);
  EXPECT_EQ(Bytes(block.Bytes().begin(), block.Bytes().end()), (Bytes{7, 0}));
  block.Resize(0);
  EXPECT_FALSE(block.IsPresent());
  EXPECT_EQ(block.Length(), 0u);

  block.Append(Bytes{1, 2});
  EXPECT_TRUE(block.IsPresent());
  EXPECT_EQ(block.Length(), 2u);
  block.Free();
  EXPECT_FALSE(block.IsPresent());
}

TEST(ByteBlockTest, TakeFrontCopiesAndShrinks) {
  ByteBlock block;
  uint8_t out[4] = {};
  EXPECT_FALSE(block.TakeFront(1, out));
  block.Append(Bytes{1, 2, 3, 4});
  EXPECT_FALSE(block.TakeFront(0, out));
  EXPECT_FALSE(block.TakeFront(5, out));
  EXPECT_EQ(block.Length(), 4u);
  EXPECT_TRUE(block.TakeFront(3, out));
  EXPECT_EQ(Bytes(out, out + 3), (Bytes{1, 2, 3}));
  EXPECT_EQ(Bytes(block.Bytes().begin(), block.Bytes().end()), (Bytes{4}));
  EXPECT_TRUE(block.TakeFront(1, out));
  EXPECT_EQ(out[0], 4);
  EXPECT_EQ(block.Length(), 0u);
}

TEST(ByteBlockTest, FreeUnlessLockedLeavesALockedBlockAlone) {
  ByteBlock block;
  EXPECT_TRUE(block.FreeUnlessLocked());  // absent counts as freed
  block.Append(Bytes{1, 2, 3});
  block.Lock();
  EXPECT_FALSE(block.FreeUnlessLocked());
  EXPECT_EQ(block.Length(), 3u);
  block.Unlock();
  EXPECT_TRUE(block.FreeUnlessLocked());
  EXPECT_FALSE(block.IsPresent());
}

TEST(AppFrameTest, BuildAppFrameLaysOutLengthAddressCommandData) {
  EXPECT_EQ(BuildAppFrame(0x81, 0x02, nullptr, 0), (Bytes{0x68, 0x06, 0x00, 0x81, 0x02, 0x16}));
  const uint8_t data[] = {0xFF, 0xFF};
  EXPECT_EQ(BuildAppFrame(0x01, 0x06, data, 2),
            (Bytes{0x68, 0x08, 0x00, 0x01, 0x06, 0xFF, 0xFF, 0x16}));

  const Bytes longest(0xFFFF - 6, 0xAA);
  const Bytes frame = BuildAppFrame(0x66, 0x0B, longest.data(), 0xFFFF - 6);
  ASSERT_EQ(frame.size(), 0xFFFFu);
  EXPECT_EQ(frame[1], 0xFF);
  EXPECT_EQ(frame[2], 0xFF);
  EXPECT_EQ(frame.back(), 0x16);
  // A length that does not fit the 16-bit LEN field gives no frame at all.
  const Bytes tooLong(0xFFFF - 5, 0xAA);
  EXPECT_TRUE(BuildAppFrame(0x66, 0x0B, tooLong.data(), 0xFFFF - 5).empty());
}

struct ExtractCase {
  const char* what;
  std::vector<Bytes> arrivals;
  std::vector<Bytes> frames;  // frame taken after each arrival, empty for none
  Bytes left;                 // received bytes still held at the end
};

// Keeps test names readable in the output instead of a dump of the object.
void PrintTo(const ExtractCase& c, std::ostream* os) {
  *os << c.what;
}

const Bytes kFrame{0x68, 0x06, 0x00, 0x81, 0x02, 0x16};

class ExtractAppFrameTest : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractAppFrameTest, ReturnsFramesAsTheyComplete) {
  const ExtractCase& c = GetParam();
  ASSERT_EQ(c.arrivals.size(), c.frames.size());
  ByteBlock accumulator;
  for (size_t i = 0; i < c.arrivals.size(); ++i) {
    EXPECT_EQ(Feed(accumulator, c.arrivals[i]), c.frames[i]) << "arrival " << i;
  }
  EXPECT_EQ(Received(accumulator), c.left);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtractAppFrameTest,
    ::testing::Values(
        ExtractCase{"complete frame", {kFrame}, {kFrame}, {}},
        ExtractCase{
            "leading noise is removed", {{0x55, 0x68, 0x06, 0x00, 0x81, 0x02, 0x16}}, {kFrame}, {}},
        ExtractCase{"split over three arrivals",
                    {{0x68}, {0x06, 0x00, 0x81}, {0x02, 0x16}},
                    {{}, {}, kFrame},
                    {}},
        ExtractCase{"length split between arrivals",
                    {{0x55, 0x68, 0x06}, {0x00, 0x81, 0x02, 0x16}},
                    {{}, kFrame},
                    {}},
        ExtractCase{"announced length 5 is skipped",
                    {{0x68, 0x05, 0x00, 0x68, 0x06, 0x00, 0x81, 0x02, 0x16}},
                    {kFrame},
                    {}},
        ExtractCase{"wrong end byte is skipped",
                    {{0x68, 0x06, 0x00, 0x81, 0x02, 0x17, 0x68, 0x06, 0x00, 0x81, 0x02, 0x16}},
                    {kFrame},
                    {}},
        ExtractCase{"a start byte inside a rejected frame is tried",
                    {{0x68, 0x07, 0x00, 0x68, 0x06, 0x00, 0x81, 0x02, 0x16}},
                    {kFrame},
                    {}},
        ExtractCase{"unfinished long frame gives way to a complete later one",
                    {{0x68, 0x40, 0x00}, {0x68, 0x06, 0x00, 0x81, 0x02, 0x16}, {}},
                    {{}, {}, kFrame},
                    {}},
        ExtractCase{"no resynchronisation unless the later frame ends the bytes",
                    {{0x68, 0x40, 0x00}, {0x68, 0x06, 0x00, 0x81, 0x02, 0x16, 0x01}},
                    {{}, {}},
                    {0x68, 0x40, 0x00, 0x68, 0x06, 0x00, 0x81, 0x02, 0x16, 0x01}},
        ExtractCase{"bytes after a frame stay for the next call",
                    {{0x68, 0x06, 0x00, 0x81, 0x02, 0x16, 0x68, 0x06}, {0x00, 0x81}},
                    {kFrame, {}},
                    {0x68, 0x06, 0x00, 0x81}},
        ExtractCase{"second frame of one arrival on a call without bytes",
                    {{0x68, 0x06, 0x00, 0x81, 0x02, 0x16, 0x68, 0x06, 0x00, 0x81, 0x02, 0x16}, {}},
                    {kFrame, kFrame},
                    {}},
        ExtractCase{"no start byte empties the accumulator",
                    {{0x01, 0x02, 0x16}, {0x68, 0x06, 0x00}},
                    {{}, {}},
                    {0x68, 0x06, 0x00}},
        ExtractCase{"zero bytes in the data do not end the frame",
                    {{0x68, 0x08, 0x00, 0x81, 0x02, 0x00, 0x00, 0x16}},
                    {{0x68, 0x08, 0x00, 0x81, 0x02, 0x00, 0x00, 0x16}},
                    {}}),
    [](const ::testing::TestParamInfo<ExtractCase>& info) {
      std::string name = info.param.what;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

TEST(ExtractAppFrameLockTest, LockedAccumulatorIsLeftUnchanged) {
  ByteBlock accumulator;
  EXPECT_TRUE(Feed(accumulator, {0x68, 0x06, 0x00}).empty());
  const Bytes before(accumulator.Bytes().begin(), accumulator.Bytes().end());
  accumulator.Lock();
  const Bytes rest{0x81, 0x02, 0x16};
  EXPECT_EQ(ExtractAppFrame(accumulator, rest.data(), 3), 0u);
  EXPECT_EQ(Bytes(accumulator.Bytes().begin(), accumulator.Bytes().end()), before);
  accumulator.Unlock();
  // The bytes offered while locked were not kept; sent again they complete the frame.
  EXPECT_TRUE(Feed(accumulator, {}).empty());
  EXPECT_EQ(Feed(accumulator, rest), kFrame);
}

TEST(ExtractAppFrameLockTest, NothingToDoReturnsZero) {
  ByteBlock accumulator;
  EXPECT_EQ(ExtractAppFrame(accumulator, nullptr, 0), 0u);
  EXPECT_FALSE(accumulator.IsPresent());
  EXPECT_EQ(ExtractAppFrame(accumulator, nullptr, 5), 0u);
  EXPECT_FALSE(accumulator.IsPresent());
}

TEST(ExtractAppFrameLengthTest, LowLengthByteAloneDoesNotRejectTheStart) {
  // LEN 0x0102: its low byte (2) arrives without the high byte.
  const Bytes data(0x0102 - 6, 0x33);
  const Bytes frame = BuildAppFrame(0x81, 0x1C, data.data(), static_cast<uint16_t>(data.size()));
  ByteBlock accumulator;
  EXPECT_TRUE(Feed(accumulator, {0x55, frame[0], frame[1]}).empty());
  EXPECT_EQ(Feed(accumulator, Bytes(frame.begin() + 2, frame.end())), frame);
}

TEST(ExtractAppFrameLengthTest, LongestFrameInSmallPieces) {
  const Bytes data(0xFFFF - 6, 0x68);
  const Bytes frame = BuildAppFrame(0x81, 0x1C, data.data(), static_cast<uint16_t>(data.size()));
  ByteBlock accumulator;
  size_t at = 0;
  Bytes got;
  while (at < frame.size()) {
    const size_t n = std::min<size_t>(1000, frame.size() - at);
    got = Feed(accumulator, Bytes(frame.begin() + at, frame.begin() + at + n));
    at += n;
    if (at < frame.size()) {
      ASSERT_TRUE(got.empty()) << at;
    }
  }
  EXPECT_EQ(got, frame);
}

// Feeds the stream in pieces, taking frames off as a receive handler does,
// and checks the accumulator's size whenever it waits.
size_t FeedStream(const Bytes& stream, size_t piece, uint32_t& largest) {
  ByteBlock accumulator;
  size_t frames = 0;
  largest = 0;
  for (size_t at = 0; at < stream.size(); at += piece) {
    const size_t n = std::min(piece, stream.size() - at);
    Bytes got = Feed(accumulator, Bytes(stream.begin() + at, stream.begin() + at + n));
    while (!got.empty()) {
      ++frames;
      got = Feed(accumulator, {});
    }
    largest = std::max(largest, accumulator.Length());
  }
  return frames;
}

TEST(ExtractAppFrameBoundsTest, RejectedStartsBehindNoiseDoNotPileUp) {
  // A noise byte in front, then starts whose frames all end wrongly.
  Bytes stream{0x55};
  for (int i = 0; i < 100000; ++i) {
    const Bytes bad{0x68, 0x06, 0x00, 0x81, 0x02, 0x00};
    stream.insert(stream.end(), bad.begin(), bad.end());
  }
  uint32_t largest = 0;
  EXPECT_EQ(FeedStream(stream, 61, largest), 0u);
  EXPECT_LE(largest, 61u + 6u);
}

TEST(ExtractAppFrameBoundsTest, RandomNoiseStaysWithinOneFrame) {
  std::mt19937 random(12345);
  Bytes stream(2'000'000);
  // Mostly start and end bytes, so that many starts look like frames.
  const uint8_t alphabet[] = {0x68, 0x16, 0x00, 0xFF, 0x06, 0x07, 0x55};
  for (uint8_t& b : stream) b = alphabet[random() % sizeof alphabet];
  for (size_t piece : {1u, 7u, 4096u}) {
    uint32_t largest = 0;
    FeedStream(Bytes(stream.begin(), stream.begin() + (piece == 1 ? 200'000 : stream.size())),
               piece, largest);
    EXPECT_LE(largest, 0x10000u + piece) << piece;
  }
}

TEST(AppVersionTest, ReadsTheFirstVersionLikeText) {
  struct Case {
    const char* what;
    Bytes data;
    size_t offset;
    std::optional<std::string> version;
  };
  const Case cases[] = {
      {"name then version", Text("TRP-40\0V2.2.0021\0", 17), 5, "2.2.0021"},
      {"leading dots and v removed", Text("X\0.v.1.0\0", 9), 5, "1.0"},
      {"first qualifying text wins", Text("A\0001.0\0002.0\0", 10), 5, "1.0"},
      {"empty text qualifies", Text("Name\0\0003.1\0", 11), 5, ""},
      {"only prefix characters", Text("VV\0", 3), 5, ""},
      {"version ended by the end byte", Text("Name\0001.2", 8), 5, "1.2"},
      {"no version text", Text("Name\0Other\0", 11), 5, std::nullopt},
      {"text ended by the end byte", Text("Name", 4), 5, std::nullopt},
      {"no data", {}, 5, std::nullopt},
      {"bus address before the texts",
       Text("\x01\x00\x02\x03\x04"
            "5.5\0",
            9),
       10, "5.5"},
      {"offset past the frame", Text("1.0\0", 4), 40, std::nullopt},
  };
  for (const Case& c : cases) {
    const Bytes frame =
        BuildAppFrame(0x81, 0x02, c.data.data(), static_cast<uint16_t>(c.data.size()));
    EXPECT_EQ(AppVersionFromIdentify(frame, c.offset), c.version) << c.what;
  }
  EXPECT_EQ(AppVersionFromIdentify({}, 5), std::nullopt);
}

// Bit-by-bit CRC-16/MODBUS as a reference.
uint16_t ReferenceCrc(const Bytes& bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

TEST(BootCommandTest, ShortCommandsAndErase) {
  EXPECT_EQ(BuildBootCommand(kBootConnect), (Bytes{0xB0, 0x01}));
  EXPECT_EQ(BuildBootCommand(kBootReadInfo), (Bytes{0xB0, 0x02}));
  EXPECT_EQ(BuildBootCommand(kBootReset), (Bytes{0xB0, 0x05}));
  EXPECT_EQ(BuildEraseCommand(0x1234, 0xABCD), (Bytes{0xB0, 0x03, 0x34, 0x12, 0xCD, 0xAB}));
}

TEST(BootCommandTest, WriteCommandCarriesAddressBlockAndCrc) {
  Bytes block(256);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  const Bytes command = BuildWriteCommand(0x0102, 0x0304, 4096, block);
  ASSERT_EQ(command.size(), 268u);
  EXPECT_EQ(Bytes(command.begin(), command.begin() + 10),
            (Bytes{0xB0, 0x04, 0x02, 0x01, 0x04, 0x03, 0x00, 0x10, 0x00, 0x00}));
  EXPECT_EQ(Bytes(command.begin() + 10, command.end() - 2), block);
  Bytes covered(command.begin() + 6, command.end() - 2);
  const uint16_t crc = ReferenceCrc(covered);
  EXPECT_EQ(command[266], crc & 0xFF);
  EXPECT_EQ(command[267], crc >> 8);

  // A known CRC-16/MODBUS value: 01 03 00 00 00 0A gives C5 CD on the wire.
  const Bytes known = BuildWriteCommand(0, 0, 0x00000301, Bytes{0x00, 0x0A});
  ASSERT_EQ(known.size(), 14u);
  EXPECT_EQ(known[12], 0xC5);
  EXPECT_EQ(known[13], 0xCD);
}

TEST(BootReplyTest, ExpectedLengthByCommandSent) {
  const std::pair<uint8_t, uint32_t> cases[] = {{0, 0}, {1, 2}, {2, 20}, {3, 2},
                                                {4, 6}, {5, 2}, {6, 0},  {0x80, 0}};
  for (const auto& [code, length] : cases) EXPECT_EQ(ExpectedReplyLength(code), length) << +code;
}

TEST(BootReplyTest, ReplyStartsAtTheFirstByteThatCanBeginOne) {
  const std::pair<Bytes, size_t> cases[] = {
      {{}, 0},
      {{0x80, 0x01}, 0},
      {{0x00, 0x55, 0x7F, 0x04}, 2},
      {{0x16, 0x68, 0xB0}, 3},  // nothing that begins a bootloader reply
  };
  for (const auto& [bytes, start] : cases) EXPECT_EQ(BootReplyStart(bytes), start);
}

TEST(BootReplyTest, CompleteLengthByCommandSentNotByTheRepliesCode) {
  struct Case {
    Bytes reply;
    uint8_t commandSent;
    uint32_t length;
  };
  const Case cases[] = {
      {{}, kBootConnect, 0},
      {{0x80}, kBootConnect, 0},
      {{0x80, 0x01}, kBootConnect, 2},
      {{0x80, 0x01, 0x33}, kBootConnect, 2},  // what follows is not the reply's
      {{0x80, 0x04, 0x00, 0x10, 0x00}, kBootWrite, 0},
      {{0x80, 0x04, 0x00, 0x10, 0x00, 0x00}, kBootWrite, 6},
      {{0x80, 0x05}, kBootWrite, 0},  // the awaited length counts, not the code's
      {{0x80, 0x02}, kBootConnect, 2},
      {Bytes(19, 0x80), kBootReadInfo, 0},
      {Bytes(20, 0x80), kBootReadInfo, 20},
      {{0x80, 0x03}, kBootErase, 2},
      {{0x80, 0x05}, kBootReset, 2},
      {{0x7F}, kBootWrite, 0},
      {{0x7F, 0x04}, kBootWrite, 2},
      {{0x7F, 0x03, 0x00}, kBootReadInfo, 2},
      {{0x80, 0x01}, 0, 0},                   // no command awaits an answer
      {{0x7F, 0x09}, 0, 2},                   // a refusal is one whatever was sent
      {{0x55, 0x80, 0x01}, kBootConnect, 0},  // noise first: not a reply's start
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompleteBootReplyLength(c.reply, c.commandSent), c.length)
        << "reply of " << c.reply.size() << " bytes after command " << +c.commandSent;
  }
}

// The reply is built in one piece: gcc 12 at -O3 mistakes growing a 6-byte
// vector by inserts for an access past its end (-Warray-bounds).
Bytes InfoReply(const char* version9) {
  Bytes reply(20);
  const uint8_t head[] = {0x80, 0x02, 0x39, 0x30, 0x05, 0x00};
  const uint8_t tail[] = {0x02, 0x00, 0x00, 0x01, 0x01};
  std::copy(std::begin(head), std::end(head), reply.begin());
  std::copy(version9, version9 + 9, reply.begin() + 6);
  std::copy(std::begin(tail), std::end(tail), reply.begin() + 15);
  return reply;
}

TEST(BootReplyTest, ParseDeviceInfoReadsEveryField) {
  const auto info = ParseDeviceInfo(InfoReply("2.05\0\0\0\0\0"));
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->SerialPart1, 12345);
  EXPECT_EQ(info->SerialPart2, 5);
  EXPECT_EQ(info->BootVersion, "2.05");
  EXPECT_EQ(info->DeviceCode, 2);
  EXPECT_EQ(info->BlockSize, 256);
  EXPECT_EQ(info->ProtocolVersion, 1);

  EXPECT_EQ(ParseDeviceInfo(InfoReply("ABCDEFGHI"))->BootVersion, "ABCDEFGH");
  EXPECT_EQ(ParseDeviceInfo(InfoReply("ABCDEFGH\0"))->BootVersion, "ABCDEFGH");
  EXPECT_EQ(ParseDeviceInfo(InfoReply("\0BCDEFGHI"))->BootVersion, "");

  Bytes shortReply = InfoReply("2.05\0\0\0\0\0");
  shortReply.pop_back();
  EXPECT_FALSE(ParseDeviceInfo(shortReply).has_value());
  Bytes negative = InfoReply("2.05\0\0\0\0\0");
  negative[0] = 0x7F;
  EXPECT_FALSE(ParseDeviceInfo(negative).has_value());
  Bytes otherCode = InfoReply("2.05\0\0\0\0\0");
  otherCode[1] = 0x01;
  EXPECT_FALSE(ParseDeviceInfo(otherCode).has_value());
}

TEST(BootReplyTest, DeviceInfoReplyReadsBack) {
  DeviceInfo info{0xBEEF, 0x0102, "1.23", 36, 512, 1};
  const Bytes reply = BuildDeviceInfoReply(info);
  ASSERT_EQ(reply.size(), kDeviceInfoLength);
  const auto back = ParseDeviceInfo(reply);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->SerialPart1, info.SerialPart1);
  EXPECT_EQ(back->SerialPart2, info.SerialPart2);
  EXPECT_EQ(back->BootVersion, "1.23");
  EXPECT_EQ(back->DeviceCode, 36);
  EXPECT_EQ(back->BlockSize, 512);
  EXPECT_EQ(back->ProtocolVersion, 1);

  info.BootVersion = "123456789AB";
  EXPECT_EQ(ParseDeviceInfo(BuildDeviceInfoReply(info))->BootVersion, "12345678");
}

}  // namespace
}  // namespace quorvel
