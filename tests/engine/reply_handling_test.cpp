// Received bytes: echoes, split and noisy bootloader replies, negative
// replies and their counters, wrongly addressed acknowledgements, device
// information checks, and the user application's frames (M-530, BTQ-20 on
// RS-485, firmware too old).
#include <gtest/gtest.h>

#include "engine_test_support.h"
#include "run/log_texts.h"

namespace quorvel::test {
namespace {

constexpr uint32_t kBase = 0x1000;
constexpr uint16_t kBlock = 256;

Bytes Image(size_t size) {
  Bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 13 + 5);
  return image;
}

Bytes Text(const std::string& text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A run of RZ-303 whose instrument stays silent for the commands in
// `silentCodes`; the test then feeds the replies itself.
class ReplyTest : public ::testing::Test {
 protected:
  void StartSilentFor(std::vector<uint8_t> silentCodes, size_t blocks = 2) {
    silent_ = std::move(silentCodes);
    h.instrument.fault = [this](const Bytes& c) -> std::optional<Bytes> {
      if (std::find(silent_.begin(), silent_.end(), c[1]) != silent_.end()) return Bytes{};
      return std::nullopt;
    };
    const std::string file = h.WriteQvl("rz.qvl", Image(blocks * kBlock), 12, 0, kBase);
    ASSERT_TRUE(h.Start(h.RowIndex("RZ-303"), file));
    h.Pump();
  }
  Bytes LastSent() const { return h.serial.sent.back(); }
  Bytes InfoReply() {
    h.instrument.fault = nullptr;
    return h.instrument.Answer(Bytes{0xB0, 0x02});
  }

  EngineHarness h;
  std::vector<uint8_t> silent_;
};

struct ChunksCase {
  const char* name;
  std::vector<Bytes> chunks;
  bool entered;
};

class ConnectReplyTest : public ReplyTest, public ::testing::WithParamInterface<ChunksCase> {};

TEST_P(ConnectReplyTest, ConnectReplyIsAssembledFromChunks) {
  StartSilentFor({1});
  ASSERT_EQ(LastSent(), (Bytes{0xB0, 0x01}));
  for (const Bytes& chunk : GetParam().chunks) h.Feed(chunk);
  EXPECT_EQ(h.LogCount("- Entering bootloader mode: OK"), GetParam().entered ? 1 : 0);
  EXPECT_EQ(h.engine->Record().BootEntered, GetParam().entered);
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, ConnectReplyTest,
    ::testing::Values(
        ChunksCase{"whole", {{0x80, 0x01}}, true}, ChunksCase{"split", {{0x80}, {0x01}}, true},
        ChunksCase{"noiseBefore", {{0x00, 0x55, 0x80, 0x01}}, true},
        ChunksCase{"noiseChunkFirst", {{0x00, 0x55}, {0x80, 0x01}}, true},
        ChunksCase{"bytesBeyondDiscarded", {{0x80, 0x01, 0x80, 0x01, 0x99}}, true},
        ChunksCase{"echoDropped", {{0xB0, 0x01}, {0x80, 0x01}}, true},
        ChunksCase{"echoInsideSplitReplyDropped", {{0x80}, {0xB0, 0x01}, {0x01}}, true},
        // The second copy of the sent bytes is data: 0x80 0xB0 is a reply
        // with an unknown code, not the connect acknowledgement.
        ChunksCase{"echoDroppedOnlyOnce", {{0x80}, {0xB0, 0x01}, {0xB0, 0x01}}, false},
        ChunksCase{"echoInPieces", {{0xB0}, {0x01}, {0x80, 0x01}}, true},
        ChunksCase{"echoGluedToTheReply", {{0xB0, 0x01, 0x80, 0x01}}, true},
        ChunksCase{"echoPiecesGluedToTheReply", {{0xB0}, {0x01, 0x80}, {0x01}}, true},
        ChunksCase{"noiseThenEchoAndReply", {{0x00, 0xB0}, {0x01, 0x80, 0x01}}, true},
        // A byte like the echo's first does not swallow the reply after it.
        ChunksCase{"strayEchoStartBeforeTheReply", {{0xB0, 0x80, 0x01}}, true},
        ChunksCase{"strayEchoStartAloneThenTheReply", {{0xB0}, {0x80, 0x01}}, true},
        ChunksCase{"strayEchoStartThenEchoAndReply", {{0xB0, 0xB0, 0x01}, {0x80, 0x01}}, true},
        ChunksCase{"noReplyByte", {{0x01, 0x02, 0x03}}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReplyTest, DeviceInformationIsHandledOnlyWhenAll20BytesAreThere) {
  StartSilentFor({2});
  const Bytes info = InfoReply();
  ASSERT_EQ(info.size(), 20u);
  h.instrument.fault = [](const Bytes&) -> std::optional<Bytes> { return Bytes{}; };
  const size_t sent = h.serial.sent.size();
  h.Feed(Bytes{0x11, info[0], info[1], info[2]});  // noise first
  h.Feed(Bytes(info.begin() + 3, info.begin() + 12));
  EXPECT_EQ(h.serial.sent.size(), sent);
  EXPECT_FALSE(h.LogHas("- Device information: 12  RZ-303  4660/66  1.05"));
  Bytes rest(info.begin() + 12, info.end());
  rest.insert(rest.end(), {0x80, 0x03});  // beyond the 20 bytes: discarded
  h.Feed(rest);
  EXPECT_EQ(h.LogCount("- Device information: 12  RZ-303  4660/66  1.05"), 1);
  EXPECT_EQ(h.serial.sent.size(), sent + 1);
  EXPECT_EQ(LastSent()[1], 0x03);
  EXPECT_FALSE(h.LogHas("- Erasing program memory: OK"));
}

TEST_F(ReplyTest, OddOrZeroBlockSizeAsksForTheDeviceInformationAgain) {
  for (uint16_t blockSize : {uint16_t{0}, uint16_t{255}, uint16_t{1}}) {
    EngineHarness run;
    run.instrument.blockSize = blockSize;
    const std::string file = run.WriteQvl("rz.qvl", Image(kBlock), 12, 0, kBase);
    int infos = 0;
    run.instrument.fault = [&](const Bytes& c) -> std::optional<Bytes> {
      if (c[1] == 2 && ++infos == 4) run.instrument.blockSize = 64;
      return std::nullopt;
    };
    ASSERT_TRUE(run.Start(run.RowIndex("RZ-303"), file));
    run.RunFor(1000);
    EXPECT_EQ(run.SentWithCode(2).size(), 4u) << blockSize;
    EXPECT_EQ(run.SentWithCode(3).size(), 1u);
    EXPECT_EQ(run.WriteAddresses(),
              (std::vector<uint32_t>{kBase + 64, kBase + 128, kBase + 192, kBase}));
    EXPECT_TRUE(run.engine->LastOutcome().Success);
  }
}

TEST_F(ReplyTest, DeviceTypeNotCheckedIsSaidInPolishToo) {
  Language = 0;
  h.instrument.deviceCode = 1;
  const std::string file = h.WriteQvl("rz.qvl", Image(kBlock), 12, 0, kBase);
  ASSERT_TRUE(h.Start(h.RowIndex("RZ-303"), file));
  h.RunFor(1000);
  EXPECT_TRUE(
      h.LogHas("- Nie sprawdzono typu urządzenia: urządzenie podaje kod 1 (KV-310); kodów "
               "od 1 do 5 (najstarsze typy urządzeń) i 65535 (brak typu) nie porównuje się z "
               "wybranym typem (RZ-303)"))
      << h.log.Text();
}

// A device that never reports a usable block size is asked six times, not
// for ever.
TEST_F(ReplyTest, BlockSizeNeverUsableEndsTheRun) {
  h.instrument.blockSize = 255;
  const std::string file = h.WriteQvl("rz.qvl", Image(kBlock), 12, 0, kBase);
  ASSERT_TRUE(h.Start(h.RowIndex("RZ-303"), file));
  EXPECT_EQ(h.RunFor(60000), 0u);
  EXPECT_EQ(h.SentWithCode(2).size(), 6u);
  EXPECT_TRUE(h.SentWithCode(3).empty());
  EXPECT_TRUE(h.LogHas("- Data block size: 255, unusable (must be even and above 0)"));
  EXPECT_EQ(h.engine->LastOutcome().Cause, RunCause::DeviceMismatch);
  ASSERT_EQ(h.prompt.shown.size(), 1u);
  EXPECT_EQ(h.prompt.shown[0].text,
            "RZ-303 no 4660/66 programming was unsuccessful.\r\n\r\nData block size: 255, unusable "
            "(must be even and above 0).");
}

TEST_F(ReplyTest, EraseFailureGoesBackToConnecting) {
  StartSilentFor({3});
  ASSERT_EQ(LastSent()[1], 0x03);
  h.Feed(Bytes{0x7F, 0x03});
  EXPECT_TRUE(h.LogHas("- Erasing program memory: error"));
  EXPECT_EQ(h.engine->Record().Step, 1);
  EXPECT_EQ(h.engine->Record().RetryCount, 1);
  const size_t sent = h.serial.sent.size();
  h.Tick(100);
  ASSERT_EQ(h.serial.sent.size(), sent + 1);
  EXPECT_EQ(LastSent(), (Bytes{0xB0, 0x01}));
  h.instrument.fault = nullptr;
  h.RunFor(1000);
  EXPECT_TRUE(h.engine->LastOutcome().Success);
}

TEST_F(ReplyTest, SixConsecutiveNegativeRepliesTimeOut) {
  StartSilentFor({4});
  for (int i = 0; i < 5; ++i) h.Feed(Bytes{0x7F, 0x04});
  EXPECT_EQ(h.LogCount("- Writing data block: \terror"), 5);
  EXPECT_EQ(h.ended, RunEnd::None);
  h.Feed(Bytes{0x7F, 0x04});
  EXPECT_EQ(h.ended, RunEnd::Timeout);
  EXPECT_TRUE(h.LogHas("- Timeout occured"));
  h.RunFor(0);
  ASSERT_EQ(h.prompt.shown.size(), 1u);
  EXPECT_EQ(h.prompt.shown[0].text,
            "RZ-303 no 4660/66 programming was unsuccessful.\r\n\r\nTimeout occured.");
}

TEST_F(ReplyTest, PositiveReplyBetweenNegativeOnesStartsTheCountAgain) {
  StartSilentFor({4});
  const uint32_t first = h.WriteAddresses().back();
  for (int i = 0; i < 5; ++i) h.Feed(Bytes{0x7F, 0x04});
  Bytes ack{0x80, 0x04};
  PutLe(ack, first, 4);
  h.Feed(ack);
  for (int i = 0; i < 5; ++i) h.Feed(Bytes{0x7F, 0x04});
  EXPECT_EQ(h.ended, RunEnd::None);
  EXPECT_EQ(h.engine->Record().RetryCount, 5);
}

TEST_F(ReplyTest, UnknownErrorCodeEndsTheRun) {
  StartSilentFor({3});
  h.Feed(Bytes{0x7F, 0x09});
  EXPECT_TRUE(h.LogHas("- Unknown bootloader error: 9"));
  EXPECT_EQ(h.ended, RunEnd::Error);
  h.RunFor(0);
  ASSERT_EQ(h.prompt.shown.size(), 1u);
  EXPECT_EQ(h.prompt.shown[0].text,
            "RZ-303 no 4660/66 programming was unsuccessful.\r\n\r\nUnknown bootloader error: 9.");
}

TEST_F(ReplyTest, WronglyAddressedAcknowledgementSendsTheSameBlockAgain) {
  StartSilentFor({4});
  const Bytes block = LastSent();
  Bytes wrong{0x80, 0x04};
  PutLe(wrong, kBase + 0x4000, 4);
  h.Feed(wrong);
  EXPECT_TRUE(h.LogHas("- Writing data block: \terror, bad data block address"));
  EXPECT_EQ(LastSent(), block);
  EXPECT_EQ(h.SentWithCode(4).size(), 2u);
  EXPECT_FALSE(h.engine->Record().BlockAcked);
  for (int i = 0; i < 4; ++i) h.Feed(wrong);
  EXPECT_EQ(h.ended, RunEnd::None);
  h.Feed(wrong);
  EXPECT_EQ(h.ended, RunEnd::Timeout);
  EXPECT_EQ(h.SentWithCode(4).size(), 6u);  // nothing more after the timeout
}

Bytes WriteAck(uint32_t address) {
  Bytes ack{0x80, 0x04};
  PutLe(ack, address, 4);
  return ack;
}

// After a stall (the instrument stopped for a while, then went on) the
// instrument answers both the command the engine gave up on and the one it
// sent again. The late answers are dropped quietly and the run goes on
// block by block, instead of taking every later acknowledgement for a wrong
// address.
TEST_F(ReplyTest, LateAcknowledgementsAfterAStallAreDroppedQuietly) {
  const struct {
    const char* name;
    bool oneChunk;  // both answers arrive together
  } cases[] = {{"separate chunks", false}, {"one chunk", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineHarness run;
    int frozenWrites = 0;
    run.instrument.fault = [&](const Bytes& cmd) -> std::optional<Bytes> {
      // The second block's write and its repetition reach a stopped device.
      if (cmd[1] == 4 && run.instrument.writeOrder.size() == 1 && frozenWrites < 2) {
        ++frozenWrites;
        return Bytes{};
      }
      return std::nullopt;
    };
    const Bytes image = Image(4 * kBlock);
    const std::string file = run.WriteQvl("rz.qvl", image, 12, 0, kBase);
    ASSERT_TRUE(run.Start(run.RowIndex("RZ-303"), file));
    run.Pump();
    run.Tick(5000);  // the engine gives up waiting and sends the block again
    run.Pump();
    ASSERT_EQ(frozenWrites, 2);
    EXPECT_EQ(run.serial.discards, 1);  // the line's input was emptied first
    // The device goes on: both writes are stored and acknowledged.
    const Bytes block = run.serial.sent.back();
    run.instrument.fault = nullptr;
    const Bytes ack = run.instrument.Answer(block);
    run.instrument.Answer(block);
    ASSERT_EQ(ack, WriteAck(kBase + 2 * kBlock));
    if (c.oneChunk) {
      run.Feed(Concat({ack, ack}));
    } else {
      run.Feed(ack);
      run.Feed(ack);
    }
    run.RunFor(1000);
    EXPECT_EQ(run.LogCount("- Writing data block: \terror, bad data block address"), 0);
    EXPECT_EQ(run.WriteAddresses(),
              (std::vector<uint32_t>{kBase + kBlock, kBase + 2 * kBlock, kBase + 2 * kBlock,
                                     kBase + 3 * kBlock, kBase}));
    EXPECT_EQ(run.instrument.Read(kBase, 4 * kBlock), image);
    EXPECT_TRUE(run.engine->LastOutcome().Success);
  }
}

// The reset's answer that follows a late acknowledgement of the last block
// in the same chunk is still the reset's answer.
TEST_F(ReplyTest, ResetAnswerBehindALateAcknowledgementIsTaken) {
  StartSilentFor({5});
  ASSERT_EQ(LastSent(), (Bytes{0xB0, 0x05}));
  h.Feed(Concat({WriteAck(kBase), {0x80, 0x05}}));
  EXPECT_EQ(h.ended, RunEnd::Success);
  h.RunFor(0);
  EXPECT_TRUE(h.engine->LastOutcome().Success);
}

// A late acknowledgement split over chunks is still recognised as late.
TEST_F(ReplyTest, LateAcknowledgementInPiecesDuringTheResetIsDropped) {
  StartSilentFor({5});
  const Bytes late = WriteAck(kBase);
  for (uint8_t b : late) h.Feed(Bytes{b});
  h.Feed(Bytes{0x80});
  h.Feed(Bytes{0x05});
  EXPECT_EQ(h.ended, RunEnd::Success);
}

TEST_F(ReplyTest, ShortPositiveReplyForAnotherCommandIsIgnored) {
  // 0x80 0x02 where the connect acknowledgement (2 bytes) is expected: too
  // short to be device information.
  StartSilentFor({1});
  h.Feed(Bytes{0x80, 0x02});
  EXPECT_EQ(h.engine->Record().BlockSize, 0);
  EXPECT_FALSE(h.LogHas("- Connection established: bootloader protocol"));
  h.Feed(Bytes{0x80, 0x01});
  EXPECT_TRUE(h.LogHas("- Entering bootloader mode: OK"));
}

struct DeviceInfoCase {
  const char* name;
  uint16_t deviceCode;
  uint8_t protocolVersion;
  std::string logLine;  // empty: the run goes on
  std::string detail;
  // The line that says the type was not compared; empty: it was.
  std::string notChecked = "";
};

class DeviceInfoCheckTest : public ReplyTest,
                            public ::testing::WithParamInterface<DeviceInfoCase> {};

TEST_P(DeviceInfoCheckTest, DeviceTypeAndProtocolVersionAreChecked) {
  const DeviceInfoCase& c = GetParam();
  h.instrument.deviceCode = c.deviceCode;
  h.instrument.protocolVersion = c.protocolVersion;
  const std::string file = h.WriteQvl("rz.qvl", Image(kBlock), 12, 0, kBase);
  ASSERT_TRUE(h.Start(h.RowIndex("RZ-303"), file));
  h.RunFor(1000);
  const auto notChecked = std::find_if(h.Lines().begin(), h.Lines().end(), [](const auto& line) {
    return line.rfind("- Device type not checked: ", 0) == 0;
  });
  if (c.notChecked.empty()) {
    EXPECT_EQ(notChecked, h.Lines().end()) << *notChecked;
  } else {
    ASSERT_NE(notChecked, h.Lines().end()) << h.log.Text();
    EXPECT_EQ(*notChecked, c.notChecked);
    EXPECT_EQ(h.LogCount(c.notChecked), 1);
    // Right after the device information it is about.
    EXPECT_EQ((notChecked - 1)->rfind("- Device information: ", 0), 0u);
  }
  if (c.logLine.empty()) {
    EXPECT_TRUE(h.engine->LastOutcome().Success);
    return;
  }
  EXPECT_TRUE(h.LogHas(c.logLine));
  EXPECT_TRUE(h.SentWithCode(3).empty());
  ASSERT_EQ(h.prompt.shown.size(), 1u);
  EXPECT_EQ(h.prompt.shown[0].text.substr(h.prompt.shown[0].text.find("\r\n\r\n") + 4), c.detail);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, DeviceInfoCheckTest,
    ::testing::Values(
        DeviceInfoCase{"same", 12, 1, "", ""}, DeviceInfoCase{"protocolZero", 12, 0, "", ""},
        DeviceInfoCase{"code65535NotChecked", 65535, 1, "", "",
                       "- Device type not checked: the device reports code 65535; codes 1 to 5 "
                       "(the oldest device types) and 65535 (no type) are not compared with the "
                       "selected type (RZ-303)"},
        DeviceInfoCase{
            "code3NotChecked", 3, 1, "", "",
            "- Device type not checked: the device reports code 3 (HOX-27); codes 1 "
            "to 5 (the oldest device types) and 65535 (no type) are not compared with the "
            "selected type (RZ-303)"},
        // The other checks still apply.
        DeviceInfoCase{
            "code1NewerProtocol", 1, 2,
            "- Incompatible bootloader version: 2, supported version: 1",
            "Incompatible bootloader version: 2, supported version: 1\r\nUpdate "
            "Quorvel.",
            "- Device type not checked: the device reports code 1 (KV-310); codes 1 "
            "to 5 (the oldest device types) and 65535 (no type) are not compared with the "
            "selected type (RZ-303)"},
        DeviceInfoCase{"otherDevice", 6, 1,
                       "- Incompatible device types: selected (RZ-303) and programmmed (M-530)",
                       "Incompatible device types: selected (RZ-303) and programmmed (M-530)."},
        DeviceInfoCase{"newerProtocol", 12, 2,
                       "- Incompatible bootloader version: 2, supported version: 1",
                       "Incompatible bootloader version: 2, supported version: 1\r\nUpdate "
                       "Quorvel."},
        DeviceInfoCase{"bothFailProtocolWins", 6, 3,
                       "- Incompatible bootloader version: 3, supported version: 1",
                       "Incompatible bootloader version: 3, supported version: 1\r\nUpdate "
                       "Quorvel."}),
    [](const auto& info) { return std::string(info.param.name); });

// --- User application -------------------------------------------------------

TEST(UserApplicationTest, M530EntersBootloaderWithTheBytesItSent) {
  EngineHarness h;
  const int row = h.RowIndex("M-530");
  TestInstrument& dev = h.instrument;
  dev.inBootloader = false;
  dev.appCommand = 6;
  dev.deviceCode = 6;
  dev.identifyData = Concat({{0xA1, 0xB2}, Text("M-530"), Text("1.2")});
  const std::string file = h.WriteQvl("m.qvl", Image(2 * kBlock), 6, 0, kBase);
  ASSERT_TRUE(h.Start(row, file));
  h.RunFor(30000);

  ASSERT_EQ(dev.appRequests.size(), 2u);
  EXPECT_EQ(dev.appRequests[0], AppFrame(0x01, 6, {0xFF, 0xFF}));
  EXPECT_EQ(dev.appRequests[1], AppFrame(0x66, 6, {0xA1, 0xB2, 0x3C, 0x95}));
  // The handed-over bytes belong to the run: the host's list stays as built.
  EXPECT_TRUE(h.devices == BuildDeviceList());
  EXPECT_TRUE(h.LogHas("- Connecting with user application: .........."));
  EXPECT_TRUE(h.LogHas("- Connection established: device protocol"));
  EXPECT_EQ(h.LogCount("- Device reset: OK"), 2);  // application, then bootloader
  EXPECT_EQ(h.LogCount("- Connecting with bootloader: .........."), 2);
  EXPECT_TRUE(h.engine->LastOutcome().Success);
  EXPECT_EQ(dev.Read(kBase, 2 * kBlock), Image(2 * kBlock));

  // A later identify reply replaces the two bytes in front.
  h.progress = RunProgress{};
  dev.inBootloader = false;
  dev.appRequests.clear();
  dev.identifyData = Concat({{0xC3, 0xD4}, Text("M-530"), Text("1.2")});
  ASSERT_TRUE(h.Start(row, file));
  h.RunFor(30000);
  ASSERT_EQ(dev.appRequests.size(), 2u);
  EXPECT_EQ(dev.appRequests[1], AppFrame(0x66, 6, {0xC3, 0xD4, 0x3C, 0x95}));
  EXPECT_TRUE(h.engine->LastOutcome().Success);

  // A run whose device hands over nothing starts from the row's own bytes,
  // not from those an earlier run was given.
  h.progress = RunProgress{};
  dev.inBootloader = false;
  dev.appRequests.clear();
  dev.identifyData = {};
  ASSERT_TRUE(h.Start(row, file));
  h.RunFor(30000);
  ASSERT_EQ(dev.appRequests.size(), 2u);
  EXPECT_EQ(dev.appRequests[1], AppFrame(0x66, 6, {0x3C, 0x95}));
  EXPECT_TRUE(h.engine->LastOutcome().Success);
  EXPECT_TRUE(h.devices == BuildDeviceList());
}

TEST(UserApplicationTest, Btq20OnRs485CarriesTheBusAddress) {
  struct Case {
    const char* name;
    Bytes bootReplyAddress;
    int appResets;  // "- Device reset: OK" lines of the application
  } cases[] = {{"sameAddress", {0x2C, 0x01}, 1}, {"otherAddress", {0x2D, 0x01}, 0}};
  for (const Case& c : cases) {
    EngineHarness h;
    const int row = h.RowIndex("BTQ-20 .RS485");
    TestInstrument& dev = h.instrument;
    dev.inBootloader = false;
    dev.appCommand = 11;
    dev.deviceCode = 11;
    dev.identifyData = Concat({{0x2C, 0x01, 0, 0, 0}, Text("BTQ-20"), Text("V1.2.0000")});
    dev.bootReplyData = c.bootReplyAddress;
    const std::string file = h.WriteQvl("b.qvl", Image(kBlock), 11, 0, kBase);
    ASSERT_TRUE(h.Start(row, file, "300"));
    h.RunFor(40000);
    ASSERT_GE(dev.appRequests.size(), 2u) << c.name;
    EXPECT_EQ(dev.appRequests[0], AppFrame(0x01, 11, {0x2C, 0x01})) << c.name;
    EXPECT_EQ(dev.appRequests[1], AppFrame(0x66, 11, {0x2C, 0x01, 0x5B, 0x27})) << c.name;
    EXPECT_EQ(h.LogCount("- Device reset: OK"), c.appResets + 1) << c.name;
    EXPECT_TRUE(h.engine->LastOutcome().Success) << c.name;
  }
}

TEST(UserApplicationTest, FirmwareTooOldEndsTheRunWithTheAdvice) {
  struct Case {
    const char* row;
    uint8_t code;
    Bytes identifyData;
    std::string busAddress;
    std::string logLine;
  } cases[] = {
      {"TRP-40", 2, Concat({Text("TRP-40"), Text("2.1.0005")}), "",
       "- Inapropriate firmvare version: 2.1.0005, required greater than: 2.2.0021"},
      {"BTQ-20 .RS485", 11, Concat({{0x2C, 0x01, 0, 0, 0}, Text("BTQ-20"), Text("v1.0.0009")}),
       "300", "- Inapropriate firmvare version: 1.0.0009, required greater than: 1.1.0001"},
  };
  for (const Case& c : cases) {
    EngineHarness h;
    const int row = h.RowIndex(c.row);
    h.instrument.inBootloader = false;
    h.instrument.appCommand = c.code;
    h.instrument.identifyData = c.identifyData;
    const uint16_t variant = h.devices[static_cast<size_t>(row)].Variant;
    const std::string file = h.WriteQvl("f.qvl", Image(kBlock), c.code, variant, kBase);
    ASSERT_TRUE(h.Start(row, file, c.busAddress));
    const uint32_t elapsed = h.RunFor(30000);
    EXPECT_EQ(elapsed, 5000u) << c.row;  // the first identify request is answered
    EXPECT_TRUE(h.LogHas(c.logLine)) << c.row;
    EXPECT_EQ(h.instrument.appRequests.size(), 1u) << c.row;  // no enter request
    ASSERT_EQ(h.prompt.shown.size(), 1u);
    EXPECT_EQ(h.prompt.shown[0].text,
              "Device programming was unsuccessful.\r\n\r\n" + kNoConnectionAdvice.str());
  }
}

// The instrument reports the version named as current: the run's end is
// its own, neither a success of programming nor a failure, and nothing
// follows the identify request. It wins over the lowest switchable version:
// an instrument that needs nothing need not be switched.
TEST(UserApplicationTest, VersionNamedAsCurrentEndsTheRunBeforeTheBootloader) {
  struct Case {
    const char* row;
    uint8_t code;
    Bytes identifyData;
    std::string skip;
    std::string reported;
    std::string message;
  } cases[] = {
      {"GRV-30x", 7, Concat({Text("GRV-30x"), Text("V1.4.0012")}), "1.4.12", "1.4.0012",
       "GRV-30x programming was not needed: the firmware is already current.\r\n\r\n"
       "Firmware already current: 1.4.0012."},
      {"TRP-40", 2, Concat({Text("TRP-40"), Text("2.1.0005")}), "2.1.5", "2.1.0005",
       "TRP-40 programming was not needed: the firmware is already current.\r\n\r\n"
       "Firmware already current: 2.1.0005."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.row);
    EngineHarness h;
    const int row = h.RowIndex(c.row);
    h.skipVersion = c.skip;
    h.instrument.inBootloader = false;
    h.instrument.appCommand = c.code;
    h.instrument.identifyData = c.identifyData;
    const uint16_t variant = h.devices[static_cast<size_t>(row)].Variant;
    const std::string file = h.WriteQvl("f.qvl", Image(kBlock), c.code, variant, kBase);
    ASSERT_TRUE(h.Start(row, file));
    h.RunFor(30000);
    EXPECT_EQ(h.ended, RunEnd::AlreadyCurrent);
    EXPECT_EQ(h.endsHeard, 1);
    EXPECT_EQ(h.instrument.appRequests.size(), 1u);  // the identify request only
    EXPECT_TRUE(h.SentWithCode(3).empty());
    const RunOutcome& outcome = h.engine->LastOutcome();
    EXPECT_FALSE(outcome.Success);
    EXPECT_EQ(outcome.Cause, RunCause::AlreadyCurrent);
    EXPECT_EQ(RunCauseName(outcome.Cause), "already-current");
    EXPECT_EQ(outcome.Message, c.message);
    ASSERT_EQ(h.prompt.shown.size(), 1u);
    EXPECT_EQ(h.prompt.shown[0].flags, kIconInformation);
    EXPECT_EQ(h.LogCount("- Firmware already current: " + c.reported), 1) << h.log.Text();
    EXPECT_TRUE(std::none_of(h.Lines().begin(), h.Lines().end(), [](const std::string& line) {
      return line.starts_with("- Inapropriate firmvare version: ");
    })) << h.log.Text();
  }
}

TEST(UserApplicationTest, FramesOfAnotherDeviceAreDropped) {
  EngineHarness h;
  const int row = h.RowIndex("RZ-303");
  h.instrument.inBootloader = false;
  h.instrument.appCommand = 12;
  h.instrument.fault = [](const Bytes& c) -> std::optional<Bytes> {
    if (c[0] == 0x68) return AppFrame(0x81, 13, Text("1.0"));  // a WEN-20 answers
    return std::nullopt;
  };
  const std::string file = h.WriteQvl("rz.qvl", Image(kBlock), 12, 0, kBase);
  ASSERT_TRUE(h.Start(row, file));
  h.RunFor(6000);
  EXPECT_FALSE(h.LogHas("- Connection established: device protocol"));
  EXPECT_FALSE(h.engine->Record().AppConnected);
}

}  // namespace
}  // namespace quorvel::test
