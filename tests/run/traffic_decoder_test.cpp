#include "run/traffic_decoder.h"

#include <gtest/gtest.h>

#include "app/globals.h"
#include "run/bus_frames.h"
#include "run/traffic_trace.h"

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;

class English : public ::testing::Test {
 protected:
  English() : saved_(Language) { Language = 1; }
  ~English() override { Language = saved_; }

 private:
  uint8_t saved_;
};

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A block of 256 bytes of the image at 0x1000, as the engine writes it.
Bytes WriteBlock() {
  Bytes block(256);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  return BuildWriteCommand(0x1234, 0x0042, 0x1000, block);
}

struct Exchange {
  const char* name;
  TrafficDirection direction;
  Bytes bytes;
  const char* meaning;
};

constexpr auto kSent = TrafficDirection::Sent;
constexpr auto kReceived = TrafficDirection::Received;

TEST_F(English, ABootloaderSessionIsNamedBlockByBlock) {
  DeviceInfo info;
  info.SerialPart1 = 4660;
  info.SerialPart2 = 66;
  info.BootVersion = "2.05";
  info.DeviceCode = 12;
  info.BlockSize = 256;
  info.ProtocolVersion = 1;
  Bytes corrupted = WriteBlock();
  corrupted[100] ^= 0x01;
  const std::vector<Exchange> session = {
      {"connect", kSent, BuildBootCommand(kBootConnect), "connect"},
      {"connected", kReceived, {0x80, 0x01}, "positive reply: connect"},
      {"read info", kSent, BuildBootCommand(kBootReadInfo), "read device information"},
      {"info", kReceived, BuildDeviceInfoReply(info),
       "positive reply: device no 4660/66, bootloader 2.05, device code 12 (RZ-303), block size "
       "256 bytes, protocol 1"},
      {"erase", kSent, BuildEraseCommand(4660, 66), "erase program memory, device no 4660/66"},
      {"erase refused", kReceived, {0x7F, 0x03}, "negative reply: erase failed"},
      {"erase again", kSent, BuildEraseCommand(4660, 66), "erase program memory, device no 4660/66"},
      {"erased", kReceived, {0x80, 0x03}, "positive reply: erase program memory"},
      {"write", kSent, WriteBlock(), "write block at 0x00001000, 256 bytes, CRC correct"},
      {"written", kReceived, {0x80, 0x04, 0x00, 0x10, 0x00, 0x00},
       "positive reply: block 0x00001000 written"},
      {"a corrupted write", kSent, corrupted, "write block at 0x00001000, 256 bytes, CRC wrong"},
      {"write refused", kReceived, {0x7F, 0x04}, "negative reply: write failed"},
      {"an unnamed error", kReceived, {0x7F, 0x09}, "negative reply: error 9"},
      {"reset", kSent, BuildBootCommand(kBootReset), "reset"},
      {"reset done", kReceived, {0x80, 0x05}, "positive reply: reset"},
  };
  TrafficDecoder decoder;
  for (const Exchange& step : session) {
    const std::string meaning = decoder.Describe(step.direction, step.bytes);
    EXPECT_EQ(meaning.rfind(step.meaning, 0), 0u) << step.name << ": " << meaning;
  }
}

TEST_F(English, EchoNoiseAndCutRepliesAreToldApart) {
  // A device-information request answered on a line that echoes and has
  // noise: what the engine sees in one chunk.
  const Bytes request = BuildBootCommand(kBootReadInfo);
  const Bytes info = BuildDeviceInfoReply(DeviceInfo{1, 2, "1.0", 12, 128, 1});
  const struct {
    const char* name;
    Bytes received;
    const char* meaning;
  } cases[] = {
      {"echo alone", request, "echo"},
      {"part of the echo", {0xB0}, "echo (part)"},
      {"echo then reply", Concat(request, info), "echo; positive reply: device no 1/2"},
      {"noise then reply", Concat({0x11, 0x22, 0x33}, info), "noise, 3 bytes; positive reply"},
      {"a cut reply", Bytes(info.begin(), info.begin() + 7), "incomplete reply (7 bytes)"},
      {"a lone start byte", {0x80}, "incomplete reply (1 bytes)"},
      {"noise alone", {0x00, 0xFF}, "noise, 2 bytes"},
  };
  for (const auto& c : cases) {
    TrafficDecoder decoder;
    decoder.Describe(kSent, request);
    const std::string meaning = decoder.Describe(kReceived, c.received);
    EXPECT_EQ(meaning.rfind(c.meaning, 0), 0u) << c.name << ": " << meaning;
  }
}

// A chunk ends where the line fell quiet, anywhere in an echo or a reply:
// cut at every byte, the chunks still read as the whole.
TEST_F(English, ChunksCutAnywhereReadAsTheWhole) {
  const Bytes write = WriteBlock();
  const Bytes reply{0x80, 0x04, 0x00, 0x10, 0x00, 0x00};
  const Bytes line = Concat(write, reply);
  for (size_t cut = 1; cut < line.size(); ++cut) {
    TrafficDecoder decoder;
    decoder.Describe(kSent, write);
    const std::string first = decoder.Describe(kReceived, Bytes(line.begin(), line.begin() + cut));
    const std::string second = decoder.Describe(kReceived, Bytes(line.begin() + cut, line.end()));
    const std::string both = first + " | " + second;
    EXPECT_EQ(both.find("noise"), std::string::npos) << cut << ": " << both;
    EXPECT_NE(second.find("positive reply: block 0x00001000 written"), std::string::npos)
        << cut << ": " << both;
    EXPECT_EQ(first.rfind(cut < write.size() ? "echo (part)" : "echo", 0), 0u) << cut << ": " << both;
  }
  // A user-application reply cut in two.
  const TDevAvailData& row = DeviceTypes()[11];
  const Bytes frame = BuildAppFrame(0xE6, 12, nullptr, 0);
  TrafficDecoder decoder(row);
  decoder.Describe(kSent, BuildAppFrame(0x66, 12, row.BootRequestData.data(),
                                        static_cast<uint16_t>(row.BootRequestData.size())));
  EXPECT_EQ(decoder.Describe(kReceived, Bytes(frame.begin(), frame.begin() + 4)),
            "incomplete reply (4 bytes)");
  EXPECT_EQ(decoder.Describe(kReceived, Bytes(frame.begin() + 4, frame.end())),
            "enter-bootloader reply");
}

TEST_F(English, ApplicationFramesAreNamedByTheRowsAddresses) {
  const TDevAvailData& row = DeviceTypes()[11];  // RZ-303: identify 0x01, boot 0x66
  const uint8_t code = static_cast<uint8_t>(row.DevCode);
  const uint8_t texts[] = {'R', 'Z', 0, '1', '.', '6', '.', '0', '0', '0', '2', 0};
  const struct {
    const char* name;
    TrafficDirection direction;
    Bytes frame;
    const char* meaning;
  } cases[] = {
      {"identify", kSent, BuildAppFrame(0x01, code, nullptr, 0), "identify request"},
      {"identify reply", kReceived, BuildAppFrame(0x81, code, texts, sizeof texts),
       "identify reply, application version 1.6.0002"},
      {"enter bootloader", kSent,
       BuildAppFrame(0x66, code, row.BootRequestData.data(),
                     static_cast<uint16_t>(row.BootRequestData.size())),
       "enter-bootloader request"},
      {"its reply", kReceived, BuildAppFrame(0xE6, code, nullptr, 0), "enter-bootloader reply"},
      {"another address", kReceived, BuildAppFrame(0x05, code, texts, 3),
       "application frame, address 0x05, command 0x0C, 3 data bytes"},
  };
  for (const auto& c : cases) {
    TrafficDecoder decoder(row);
    EXPECT_EQ(decoder.Describe(c.direction, c.frame), c.meaning) << c.name;
  }
  // Without a row, by the addresses every such row uses.
  const struct {
    Bytes frame;
    TrafficDirection direction;
    const char* meaning;
  } plainCases[] = {
      {BuildAppFrame(0x01, code, nullptr, 0), kSent, "identify request"},
      {BuildAppFrame(0x66, code, nullptr, 0), kSent, "enter-bootloader request"},
      {BuildAppFrame(0xDF, code, nullptr, 0), kReceived, "enter-bootloader reply"},
      {BuildAppFrame(0x02, code, nullptr, 0), kSent,
       "application frame, address 0x02, command 0x0C, 0 data bytes"},
  };
  for (const auto& c : plainCases) {
    TrafficDecoder plain;
    EXPECT_EQ(plain.Describe(c.direction, c.frame), c.meaning);
  }
}

TEST_F(English, MalformedCommandsSayWhatIsWrong) {
  TrafficDecoder decoder;
  EXPECT_EQ(decoder.Describe(kSent, Bytes{0xB0, 0x01, 0x00}), "connect (wrong length: 3 bytes)");
  EXPECT_EQ(decoder.Describe(kSent, Bytes{0xB0, 0x04, 0x00}), "write block (wrong length: 3 bytes)");
  EXPECT_EQ(decoder.Describe(kSent, Bytes{0xB0, 0x09}), "bootloader command 9");
  EXPECT_EQ(decoder.Describe(kSent, Bytes{0x55}), "unknown bytes, 1");
  EXPECT_EQ(decoder.Describe(kSent, Bytes{}), "");
}

TEST(TrafficDecoderLanguage, PolishTextsFollowTheLanguage) {
  const uint8_t saved = Language;
  Language = 0;
  TrafficDecoder decoder;
  EXPECT_EQ(decoder.Describe(kSent, BuildBootCommand(kBootConnect)), "połączenie");
  EXPECT_EQ(decoder.Describe(kReceived, Bytes{0x7F, 0x04}), "odpowiedź negatywna: zapis nie powiódł się");
  Language = saved;
}

TEST(TrafficTrace, LinesReadBackAsWritten) {
  const TraceRow rows[] = {
      {0, "/dev/ttyUSB0", kSent, {0xB0, 0x01}, "connect"},
      {1234567, "/tmp/odd\tport\n", kReceived, {0x80, 0x01, 0xFF}, "reply\twith a tab"},
  };
  for (const TraceRow& row : rows) {
    const std::string line = FormatTraceLine(row);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line per row";
    const auto back = ParseTraceLine(std::string_view(line).substr(0, line.size() - 1));
    ASSERT_TRUE(back.has_value()) << line;
    EXPECT_EQ(back->microseconds, row.microseconds);
    EXPECT_EQ(back->direction, row.direction);
    EXPECT_EQ(back->bytes, row.bytes);
  }
  EXPECT_EQ(FormatTraceLine(rows[1]),
            "1234.567\t/tmp/odd\\x09port\\x0a\treceived\t80 01 FF\treply\\x09with a tab\n");
}

TEST(TrafficTrace, WhatIsNoTraceLineIsRefused) {
  const char* lines[] = {
      "",
      "# quorvel trace 1",
      "1.000\tp\tsent\tB0 01",                 // no meaning field
      "1.00\tp\tsent\tB0 01\tx",               // two decimals
      "-1.000\tp\tsent\tB0 01\tx",             // negative time
      "1.-01\tp\tsent\tB0 01\tx",
      "1.000\tp\tsideways\tB0 01\tx",          // no direction
      "1.000\tp\tsent\tB0 1\tx",               // half a byte
      "1.000\tp\tsent\tB0_01\tx",              // wrong separator
      "1.000\tp\tsent\tG0\tx",                 // no hex digit
      "1.000\tp\tsent\t\tx",                   // no bytes
      "99999999999999999999.000\tp\tsent\tB0\tx",  // time out of range
  };
  for (const char* line : lines) EXPECT_FALSE(ParseTraceLine(line).has_value()) << line;
  // A block larger than any link sends is refused without reading it all.
  std::string huge = "1.000\tp\tsent\t";
  for (size_t i = 0; i <= kTraceMaxBlock; ++i) huge += i ? " 00" : "00";
  EXPECT_FALSE(ParseTraceLine(huge + "\tx").has_value());
}

}  // namespace
}  // namespace quorvel
