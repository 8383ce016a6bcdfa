// The instrument state machine driven with the host's own frame builders.
#include "sim/instrument.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "datafile/hex_file.h"
#include "datafile/utilities.h"
#include "sim/intel_hex_writer.h"
#include "sim_test_support.h"

namespace quorvel::sim {
namespace {

using test::Ack;
using test::Answers;
using test::Exchange;
using test::Nak;
using test::OptionsFor;
using test::WriteAck;
using test::WriteCommand;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kSp1 = 0x1234;
constexpr uint16_t kSp2 = 0xF00D;  // the sum wraps past 16 bits

InstrumentOptions BootOptions(uint16_t blockSize = 256) {
  InstrumentOptions options = OptionsFor("M-530");
  options.StartMode = InstrumentMode::Bootloader;
  options.SerialPart1 = kSp1;
  options.SerialPart2 = kSp2;
  options.BlockSize = blockSize;
  return options;
}

Bytes RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(gen());
  return b;
}

// Feeds the whole stream in pieces of `chunk` bytes and collects the answers.
std::vector<Bytes> FeedInChunks(Instrument& instrument, const Bytes& stream, size_t chunk) {
  std::vector<Bytes> answers;
  for (size_t at = 0; at < stream.size(); at += chunk) {
    const size_t n = std::min(chunk, stream.size() - at);
    for (auto& a : Answers(instrument.Feed(stream.data() + at, n))) answers.push_back(a);
  }
  return answers;
}

// ---- Bootloader ----

Bytes AppFrame(uint8_t address, uint8_t command, const Bytes& data) {
  return BuildAppFrame(address, command, data.data(), static_cast<uint16_t>(data.size()));
}

// A whole programming session, block order as the engine sends it (second
// block first, first block last), fed in pieces of different sizes: the
// answers and the unscrambled memory must not depend on the chunking.
class BootSessionTest : public ::testing::TestWithParam<size_t> {};

TEST_P(BootSessionTest, ProgramsTheImageUnscrambled) {
  constexpr uint32_t kBase = 0x0001FE00;  // the image crosses a 64 KiB boundary
  constexpr uint16_t kBlock = 256;
  const Bytes image = RandomBytes(3 * kBlock, 7);
  Instrument instrument(BootOptions(kBlock));

  Bytes stream;
  std::vector<Bytes> expected;
  auto add = [&](const Bytes& command, const Bytes& answer) {
    stream.insert(stream.end(), command.begin(), command.end());
    expected.push_back(answer);
  };
  add(BuildBootCommand(kBootConnect), Ack(kBootConnect));
  DeviceInfo info{kSp1, kSp2, "2.05", 6, kBlock, 1};
  add(BuildBootCommand(kBootReadInfo), BuildDeviceInfoReply(info));
  add(BuildEraseCommand(kSp1, kSp2), Ack(kBootErase));
  for (uint32_t block : {1u, 2u, 0u}) {
    const Bytes plain(image.begin() + block * kBlock, image.begin() + (block + 1) * kBlock);
    add(WriteCommand(kSp1, kSp2, kBase + block * kBlock, plain), WriteAck(kBase + block * kBlock));
  }
  add(BuildBootCommand(kBootReset), Ack(kBootReset));

  EXPECT_EQ(FeedInChunks(instrument, stream, GetParam()), expected);
  EXPECT_EQ(instrument.Flash().Read(kBase, 3 * kBlock), image);
  EXPECT_EQ(instrument.Flash().WrittenCount(), image.size());
  EXPECT_EQ(instrument.ResetCount(), 1u);
  // The M-530 restarts into its user application after the reset.
  EXPECT_EQ(instrument.Mode(), InstrumentMode::UserApplication);

  // The saved HEX file reads back as the same image at the same address.
  const auto path = std::filesystem::temp_directory_path() /
                    ("quorvel-sim-test-" + std::to_string(GetParam()) + ".hex");
  std::ofstream(path) << FormatIntelHex(instrument.Flash());
  FirmwareImage read;
  ASSERT_EQ(ReadHexFile(path.string(), read), 0);
  std::filesystem::remove(path);
  EXPECT_EQ(read.ImageStart, kBase);
  EXPECT_EQ(read.ImageData, image);
}

INSTANTIATE_TEST_SUITE_P(Chunks, BootSessionTest, ::testing::Values(1, 5, 269, 100000));

// Blocks larger than the terminal's usual read: the write command is
// 2 + 4 + 4 + N + 2 bytes and is only complete with its very last byte.
class LargeBlockTest : public ::testing::TestWithParam<uint16_t> {};

TEST_P(LargeBlockTest, WriteIsCheckedAndAcknowledgedWhole) {
  const uint16_t blockSize = GetParam();
  Instrument instrument(BootOptions(blockSize));
  const auto info = ParseDeviceInfo(Exchange(instrument, BuildBootCommand(kBootReadInfo)));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->BlockSize, blockSize);
  ASSERT_EQ(Exchange(instrument, BuildEraseCommand(kSp1, kSp2)), Ack(kBootErase));

  const Bytes first = RandomBytes(blockSize, 21);
  const Bytes write = WriteCommand(kSp1, kSp2, 0x10000 - blockSize / 2, first);
  ASSERT_EQ(write.size(), 2u + 4 + 4 + blockSize + 2);
  EXPECT_TRUE(instrument.Feed(write.data(), write.size() - 1).empty());
  EXPECT_EQ(Answers(instrument.Feed(&write.back(), 1)),
            std::vector<Bytes>{WriteAck(0x10000 - blockSize / 2)});

  Bytes damaged = WriteCommand(kSp1, kSp2, 0x10000 + blockSize / 2, RandomBytes(blockSize, 22));
  damaged[10 + blockSize - 1] ^= 0x40;  // the block's last byte
  EXPECT_EQ(FeedInChunks(instrument, damaged, 4096), std::vector<Bytes>{Nak(kBootErrorWrite)});

  const Bytes second = RandomBytes(blockSize, 23);
  EXPECT_EQ(FeedInChunks(instrument, WriteCommand(kSp1, kSp2, 0x10000 + blockSize / 2, second), 7),
            std::vector<Bytes>{WriteAck(0x10000 + blockSize / 2)});
  Bytes both = first;
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(instrument.Flash().Read(0x10000 - blockSize / 2, 2u * blockSize), both);
  EXPECT_EQ(instrument.Flash().WrittenCount(), 2u * blockSize);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, LargeBlockTest, ::testing::Values(1024, 2048));

TEST(Instrument, DeviceInformationCarriesTheConfiguredValues) {
  InstrumentOptions options = BootOptions(512);
  options.BootVersion = "3.1b";
  options.DeviceCode = 99;
  options.ProtocolVersion = 2;
  Instrument instrument(options);
  const auto info = ParseDeviceInfo(Exchange(instrument, BuildBootCommand(kBootReadInfo)));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->SerialPart1, kSp1);
  EXPECT_EQ(info->SerialPart2, kSp2);
  EXPECT_EQ(info->BootVersion, "3.1b");
  EXPECT_EQ(info->DeviceCode, 99);
  EXPECT_EQ(info->BlockSize, 512);
  EXPECT_EQ(info->ProtocolVersion, 2);
}

TEST(Instrument, RefusedWritesStoreNothing) {
  const Bytes block = RandomBytes(256, 3);
  struct Case {
    const char* name;
    bool erase;
    Bytes command;
  };
  Bytes badCrc = WriteCommand(kSp1, kSp2, 0x100, block);
  badCrc.back() ^= 0x01;
  Bytes badAddressCrc = WriteCommand(kSp1, kSp2, 0x100, block);
  badAddressCrc[6] ^= 0x01;  // address changed after the CRC was computed
  const Case cases[] = {
      {"bad CRC", true, badCrc},
      {"address not covered by the CRC", true, badAddressCrc},
      {"wrong SerialPart1", true, WriteCommand(kSp1 + 1, kSp2, 0x100, block)},
      {"wrong SerialPart2", true, WriteCommand(kSp1, kSp2 - 1, 0x100, block)},
      {"not erased", false, WriteCommand(kSp1, kSp2, 0x100, block)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Instrument instrument(BootOptions());
    if (c.erase) {
      ASSERT_EQ(Exchange(instrument, BuildEraseCommand(kSp1, kSp2)), Ack(kBootErase));
    }
    EXPECT_EQ(Exchange(instrument, c.command), Nak(kBootErrorWrite));
    EXPECT_TRUE(instrument.Flash().Empty());
  }
}

TEST(Instrument, EraseChecksTheIdentityWordsAndClearsTheMemory) {
  Instrument instrument(BootOptions());
  EXPECT_EQ(Exchange(instrument, BuildEraseCommand(kSp2, kSp1)), Nak(kBootErrorErase));
  ASSERT_EQ(Exchange(instrument, BuildEraseCommand(kSp1, kSp2)), Ack(kBootErase));
  const Bytes block = RandomBytes(256, 4);
  ASSERT_EQ(Exchange(instrument, WriteCommand(kSp1, kSp2, 0, block)), WriteAck(0));
  // The same block again (a lost acknowledgement) is fine; other data on
  // written bytes is not.
  EXPECT_EQ(Exchange(instrument, WriteCommand(kSp1, kSp2, 0, block)), WriteAck(0));
  EXPECT_EQ(Exchange(instrument, WriteCommand(kSp1, kSp2, 0, RandomBytes(256, 5))),
            Nak(kBootErrorWrite));
  EXPECT_EQ(instrument.Flash().Read(0, 256), block);
  ASSERT_EQ(Exchange(instrument, BuildEraseCommand(kSp1, kSp2)), Ack(kBootErase));
  EXPECT_TRUE(instrument.Flash().Empty());
  EXPECT_EQ(instrument.Flash().Read(0, 4), Bytes(4, 0xFF));
}

TEST(Instrument, ResetNeedsANewEraseButKeepsTheMemory) {
  Instrument instrument(BootOptions());
  Exchange(instrument, BuildEraseCommand(kSp1, kSp2));
  const Bytes block = RandomBytes(256, 6);
  ASSERT_EQ(Exchange(instrument, WriteCommand(kSp1, kSp2, 0x400, block)), WriteAck(0x400));
  ASSERT_EQ(Exchange(instrument, BuildBootCommand(kBootReset)), Ack(kBootReset));
  EXPECT_EQ(instrument.Flash().Read(0x400, 256), block);
}

TEST(Instrument, NoiseAndUnknownCommandsBeforeACommandAreDropped) {
  Instrument instrument(BootOptions());
  const Bytes stream = {0x00, 0x55, 0xB0, 0x07, 0x80, 0xB0, 0x01};
  EXPECT_EQ(Answers(instrument.Feed(stream)), std::vector<Bytes>{Ack(kBootConnect)});
}

TEST(Instrument, WriteFarBeyondTheMemoryCapacityIsRefused) {
  Instrument instrument(BootOptions());
  Exchange(instrument, BuildEraseCommand(kSp1, kSp2));
  // The last block of the address space wraps past 32 bits.
  EXPECT_EQ(Exchange(instrument, WriteCommand(kSp1, kSp2, 0xFFFFFF80u, RandomBytes(256, 1))),
            Nak(kBootErrorWrite));
}

TEST(Instrument, RandomLineTrafficIsSurvived) {
  for (const char* device : {"M-530", "BTQ-20 .RS485", "HOX-27"}) {
    SCOPED_TRACE(device);
    InstrumentOptions options = OptionsFor(device);
    options.Faults.Echo = true;
    Instrument instrument(options);
    const Bytes noise = RandomBytes(60000, 11);
    for (size_t at = 0; at < noise.size(); at += 997) {
      instrument.Feed(noise.data() + at, std::min<size_t>(997, noise.size() - at));
    }
    // A complete user-application frame or bootloader command still gets
    // through once the garbage has been drained.
    instrument.Feed(Bytes(1100, 0x00));
    const TDevAvailData& row = options.Device;
    const Bytes request = instrument.Mode() == InstrumentMode::Bootloader
                              ? BuildBootCommand(kBootConnect)
                              : (row.Rs485 ? AppFrame(row.AppAddrIdentify, 11, {0x01, 0x00})
                                           : AppFrame(row.AppAddrIdentify, 6, {0xFF, 0xFF}));
    EXPECT_FALSE(Exchange(instrument, request).empty());
  }
}

TEST(FlashMemory, CapacityBoundsTheStoredPages) {
  FlashMemory flash(2 * FlashMemory::kPageSize);
  const Bytes b(16, 0x11);
  EXPECT_TRUE(flash.Write(0, b));
  EXPECT_TRUE(flash.Write(0x10000, b));
  EXPECT_FALSE(flash.Write(0x20000, b));
  EXPECT_EQ(flash.WrittenCount(), 32u);
}

TEST(IntelHexWriter, SplitsRecordsAtGapsAndSegments) {
  FlashMemory flash;
  ASSERT_TRUE(flash.Write(0x0FFF8, Bytes(16, 0xAB)));  // crosses into segment 1
  ASSERT_TRUE(flash.Write(0x20000, Bytes{0x01, 0x02}));
  EXPECT_EQ(FormatIntelHex(flash),
            ":08FFF800ABABABABABABABABA9\n"
            ":020000040001F9\n"
            ":08000000ABABABABABABABABA0\n"
            ":020000040002F8\n"
            ":020000000102FB\n"
            ":00000001FF\n");
}

// ---- User application ----

struct AppCase {
  const char* device;
  Bytes identifyData;
  size_t textOffset;  // where the identify reply's texts start
  bool challenge;     // the enter-bootloader data starts with the reply's bytes 5 and 6
  Bytes bootData;     // after the challenge, if any
  Bytes bootReplyData;
};

class AppEntryTest : public ::testing::TestWithParam<AppCase> {};

TEST_P(AppEntryTest, IdentifyThenEnterTheBootloader) {
  const AppCase& c = GetParam();
  InstrumentOptions options = OptionsFor(c.device);
  options.BusAddress = 0x0107;
  Instrument instrument(options);
  const TDevAvailData& row = options.Device;
  ASSERT_EQ(instrument.Mode(), InstrumentMode::UserApplication);
  const uint8_t code = static_cast<uint8_t>(row.DevCode);

  // Bootloader commands mean nothing to the user application.
  EXPECT_TRUE(Exchange(instrument, BuildBootCommand(kBootConnect)).empty());

  const Bytes reply = Exchange(instrument, AppFrame(row.AppAddrIdentify, code, c.identifyData));
  ASSERT_GE(reply.size(), 6u);
  EXPECT_EQ(reply[3], static_cast<uint8_t>(row.AppAddrIdentify + 0x80));
  EXPECT_EQ(reply[4], code);
  const std::string expectedVersion =
      row.MinAppVersion.empty() ? std::string("1.0.0000") : row.MinAppVersion;
  EXPECT_EQ(AppVersionFromIdentify(reply, c.textOffset), expectedVersion);
  if (c.textOffset == 10) {
    EXPECT_EQ(reply[5], 0x07);
    EXPECT_EQ(reply[6], 0x01);
  }

  Bytes bootData;
  if (c.challenge) bootData = {reply[5], reply[6]};
  bootData.insert(bootData.end(), c.bootData.begin(), c.bootData.end());
  const Bytes bootReply = Exchange(instrument, AppFrame(row.AppAddrBoot, code, bootData));
  EXPECT_EQ(bootReply,
            AppFrame(static_cast<uint8_t>(row.AppAddrBoot + 0x80), code, c.bootReplyData));
  EXPECT_EQ(instrument.Mode(), InstrumentMode::Bootloader);
  EXPECT_EQ(Exchange(instrument, BuildBootCommand(kBootConnect)), Ack(kBootConnect));
}

const Bytes kZewkari = {'Z', 'E', 'W', 'K', 'A', 'R', 'I', 0};

INSTANTIATE_TEST_SUITE_P(
    Devices, AppEntryTest,
    ::testing::Values(
        AppCase{"TRP-40 .COM", {}, 5, false, kZewkari, {}},
        AppCase{"TRP-40 .USB", {}, 5, false, kZewkari, {}},
        AppCase{"M-530", {0xFF, 0xFF}, 5, true, {0x3C, 0x95}, {}},
        AppCase{"BTQ-20 .RS485", {0x07, 0x01}, 10, false, {0x07, 0x01, 0x5B, 0x27}, {0x07, 0x01}},
        AppCase{"BTQ-20 .RS232", {}, 5, false, {}, {}},
        AppCase{"GRV-30x", {}, 5, false, {0x5B, 0x27}, {}},
        AppCase{"OTO-KR", {}, 5, false, {}, {}}));

TEST(Instrument, M530ChallengeChangesAndOnlyTheLatestOpensTheBootloader) {
  InstrumentOptions options = OptionsFor("M-530");
  Instrument instrument(options);
  const Bytes identify = AppFrame(0x01, 6, {0xFF, 0xFF});
  const Bytes first = Exchange(instrument, identify);
  const Bytes second = Exchange(instrument, identify);
  ASSERT_GE(first.size(), 8u);
  ASSERT_GE(second.size(), 8u);
  for (uint8_t b : {first[5], first[6], second[5], second[6]}) {
    EXPECT_NE(b, 0);
    EXPECT_FALSE((b >= '0' && b <= '9') || b == '.' || b == 'V' || b == 'v');
  }
  // Two identify replies in a row carry different challenges (with this seed).
  ASSERT_NE(Bytes(first.begin() + 5, first.begin() + 7),
            Bytes(second.begin() + 5, second.begin() + 7));
  EXPECT_TRUE(Exchange(instrument, AppFrame(0x66, 6, {first[5], first[6], 0x3C, 0x95})).empty());
  EXPECT_EQ(instrument.Mode(), InstrumentMode::UserApplication);
  EXPECT_FALSE(Exchange(instrument, AppFrame(0x66, 6, {second[5], second[6], 0x3C, 0x95})).empty());
  EXPECT_EQ(instrument.Mode(), InstrumentMode::Bootloader);
}

TEST(Instrument, WrongRequestsGetSilence) {
  struct Case {
    const char* name;
    const char* device;
    std::vector<Bytes> frames;  // none of them may be answered
  };
  const Case cases[] = {
      {"TRP-40 wrong access code",
       "TRP-40 .COM",
       {AppFrame(0x66, 2, {'Z', 'E', 'W', 'K', 'A', 'R', 'J', 0})}},
      {"TRP-40 access code without its zero byte",
       "TRP-40 .COM",
       {AppFrame(0x66, 2, {'Z', 'E', 'W', 'K', 'A', 'R', 'I'})}},
      {"M-530 before any identify", "M-530", {AppFrame(0x66, 6, {0x41, 0x42, 0x3C, 0x95})}},
      {"another device code", "TRP-40 .COM", {AppFrame(0x01, 7, {}), AppFrame(0x66, 7, kZewkari)}},
      {"RS-485 identify for another address",
       "BTQ-20 .RS485",
       {AppFrame(0x01, 11, {0x08, 0x01}), AppFrame(0x01, 11, {})}},
      {"RS-485 enter-bootloader for another address",
       "BTQ-20 .RS485",
       {AppFrame(0x66, 11, {0x08, 0x01, 0x5B, 0x27})}},
      {"RS-232 BTQ-20 given access data", "BTQ-20 .RS232", {AppFrame(0x66, 11, {0x5B, 0x27})}},
      {"broken frame", "TRP-40 .COM", {{0x68, 0x06, 0x00, 0x01, 0x02, 0x17}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InstrumentOptions options = OptionsFor(c.device);
    options.BusAddress = 0x0107;
    Instrument instrument(options);
    for (const Bytes& frame : c.frames) EXPECT_TRUE(Exchange(instrument, frame).empty());
    EXPECT_EQ(instrument.Mode(), InstrumentMode::UserApplication);
  }
}

TEST(Instrument, WrongAccessDataIsReportedAsAWarning) {
  Instrument instrument(OptionsFor("TRP-40 .COM"));
  instrument.Feed(AppFrame(0x66, 2, {'x'}));
  const auto notes = instrument.TakeNotes();
  EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [](const InstrumentNote& n) {
    return n.Warning && n.Text.find("access data") != std::string::npos;
  }));
}

TEST(Instrument, AppFrameAfterALostStartIsFound) {
  Instrument instrument(OptionsFor("TRP-40 .COM"));
  // A start byte with a long announced length, then a complete identify.
  Bytes stream = {0x55, 0x68, 0x40, 0x00, 0x01};
  const Bytes identify = AppFrame(0x01, 2, {});
  stream.insert(stream.end(), identify.begin(), identify.end());
  EXPECT_EQ(Answers(instrument.Feed(stream)).size(), 1u);
}

TEST(Instrument, BootloaderOnlyDevicesStartAndStayInTheBootloader) {
  for (const char* device : {"HOX-27", "Y-310", "KV-310"}) {
    SCOPED_TRACE(device);
    InstrumentOptions options = OptionsFor(device);
    Instrument instrument(options);
    EXPECT_FALSE(instrument.HasUserApplication());
    EXPECT_EQ(instrument.Mode(), InstrumentMode::Bootloader);
    EXPECT_EQ(Exchange(instrument, BuildBootCommand(kBootReset)), Ack(kBootReset));
    EXPECT_EQ(instrument.Mode(), InstrumentMode::Bootloader);

    options.StartMode = InstrumentMode::UserApplication;
    Instrument forced(options);
    const TDevAvailData& row = options.Device;
    EXPECT_TRUE(
        Exchange(forced, AppFrame(row.AppAddrIdentify, static_cast<uint8_t>(row.DevCode), {}))
            .empty());
  }
}

TEST(Instrument, DefaultModelTextIsTheModelName) {
  Instrument instrument(OptionsFor("BTQ-20 .RS485"));
  EXPECT_EQ(instrument.AppModel(), "BTQ-20");
  EXPECT_EQ(instrument.AppVersion(), "V1.1.0001");
}

TEST(Instrument, ConfiguredAppTextsAreSent) {
  InstrumentOptions options = OptionsFor("TRP-40 .COM");
  options.AppModel = "TRP-40 LAB";
  options.AppVersion = "v2.1.0009";
  Instrument instrument(options);
  const Bytes reply = Exchange(instrument, AppFrame(0x01, 2, {}));
  const std::string texts(reply.begin() + 5, reply.end() - 1);
  EXPECT_EQ(texts, std::string("TRP-40 LAB\0v2.1.0009\0", 21));
  EXPECT_EQ(AppVersionFromIdentify(reply, 5), "2.1.0009");
}

TEST(Instrument, IdentifyReplyWithoutAVersionText) {
  InstrumentOptions options = OptionsFor("GRV-30x");
  options.NoAppVersion = true;
  Instrument instrument(options);
  const Bytes reply = Exchange(instrument, AppFrame(0x01, 7, {}));
  EXPECT_EQ(std::string(reply.begin() + 5, reply.end() - 1), std::string("GRV-30x\0", 8));
  EXPECT_EQ(AppVersionFromIdentify(reply, 5), std::nullopt);
}

// ---- Faults ----

TEST(InstrumentFaults, NegativeRepliesForOneCommand) {
  InstrumentOptions options = BootOptions();
  options.Faults.NegativeReplies = {{kBootWrite, 2, kBootErrorWrite}};
  Instrument instrument(options);
  EXPECT_EQ(Exchange(instrument, BuildEraseCommand(kSp1, kSp2)), Ack(kBootErase));
  const Bytes block = RandomBytes(256, 9);
  const Bytes write = WriteCommand(kSp1, kSp2, 0x800, block);
  EXPECT_EQ(Exchange(instrument, write), Nak(kBootErrorWrite));
  EXPECT_EQ(Exchange(instrument, write), Nak(kBootErrorWrite));
  EXPECT_TRUE(instrument.Flash().Empty());
  EXPECT_EQ(Exchange(instrument, write), WriteAck(0x800));
}

TEST(InstrumentFaults, NegativeReplyForAnyCommandWithItsOwnCode) {
  InstrumentOptions options = BootOptions();
  options.Faults.NegativeReplies = {{0, 1, 9}};
  Instrument instrument(options);
  EXPECT_EQ(Exchange(instrument, BuildBootCommand(kBootConnect)), Nak(9));
  EXPECT_EQ(Exchange(instrument, BuildBootCommand(kBootConnect)), Ack(kBootConnect));
}

TEST(InstrumentFaults, WrongAddressAcknowledgement) {
  InstrumentOptions options = BootOptions();
  options.Faults.WrongAddressAcks = 1;
  Instrument instrument(options);
  Exchange(instrument, BuildEraseCommand(kSp1, kSp2));
  const Bytes write = WriteCommand(kSp1, kSp2, 0x800, RandomBytes(256, 2));
  const Bytes first = Exchange(instrument, write);
  ASSERT_EQ(first.size(), 6u);
  EXPECT_NE(first, WriteAck(0x800));
  EXPECT_EQ(Exchange(instrument, write), WriteAck(0x800));
}

TEST(InstrumentFaults, EchoComesFirstWithTheExactBytes) {
  InstrumentOptions options = BootOptions();
  options.Faults.Echo = true;
  Instrument instrument(options);
  const Bytes stream = {0xB0, 0x01, 0x12, 0xB0};  // a command, noise, half a command
  const auto outputs = instrument.Feed(stream);
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(outputs[0].Type, InstrumentOutput::Kind::Echo);
  EXPECT_EQ(outputs[0].Bytes, stream);
  EXPECT_EQ(outputs[0].InputEnd, stream.size());
  EXPECT_EQ(outputs[1].Bytes, Ack(kBootConnect));
  EXPECT_EQ(outputs[1].InputEnd, 2u);
}

// A device that needs a pause after its answer: a command whose first byte
// arrives before it listens again is dropped whole, whatever comes after.
struct UnheardCase {
  const char* name;
  // Pieces fed, each with the number of its leading bytes not heard.
  std::vector<std::pair<Bytes, size_t>> pieces;
  std::vector<Bytes> answers;
  uint32_t unheard;
};

class UnheardTest : public ::testing::TestWithParam<UnheardCase> {};

TEST_P(UnheardTest, CommandsStartingTooSoonAreNotHeard) {
  InstrumentOptions options = BootOptions();
  options.Faults.Echo = true;
  Instrument instrument(options);
  std::vector<Bytes> answers;
  Bytes echoed;
  Bytes fed;
  for (const auto& [bytes, unheard] : GetParam().pieces) {
    const auto outputs = instrument.Feed(bytes, unheard);
    for (const Bytes& a : Answers(outputs)) answers.push_back(a);
    for (const auto& out : outputs) {
      if (out.Type == InstrumentOutput::Kind::Echo)
        echoed.insert(echoed.end(), out.Bytes.begin(), out.Bytes.end());
    }
    fed.insert(fed.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(answers, GetParam().answers);
  EXPECT_EQ(instrument.UnheardCount(), GetParam().unheard);
  EXPECT_EQ(echoed, fed);  // the line echoes what the device does not hear
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnheardTest,
    ::testing::Values(
        UnheardCase{"wholeCommand", {{{0xB0, 0x01}, 2}}, {}, 1},
        UnheardCase{"firstByteOnly", {{{0xB0}, 1}, {{0x01}, 0}}, {}, 1},
        UnheardCase{"heardAfterwards", {{{0xB0, 0x01}, 2}, {{0xB0, 0x01}, 0}}, {{0x80, 0x01}}, 1},
        UnheardCase{"noiseUnheardCommandHeard", {{{0x00, 0x12, 0xB0, 0x01}, 2}}, {{0x80, 0x01}}, 0},
        UnheardCase{
            "secondCommandOfAPieceHeard", {{{0xB0, 0x01, 0xB0, 0x01}, 1}}, {{0x80, 0x01}}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InstrumentFaults, NoisePrecedesEveryAnswer) {
  InstrumentOptions options = OptionsFor("TRP-40 .COM");
  options.Faults.NoiseBytes = 11;
  Instrument instrument(options);
  const Bytes reply = Exchange(instrument, AppFrame(0x01, 2, {}));
  ASSERT_GT(reply.size(), 11u);
  for (size_t i = 0; i < 11; ++i) {
    EXPECT_NE(reply[i], 0x68);
    EXPECT_NE(reply[i], 0x80);
    EXPECT_NE(reply[i], 0x7F);
  }
  EXPECT_EQ(reply[11], 0x68);
}

TEST(InstrumentFaults, SilenceNowOrAfterSomeAnswers) {
  for (uint32_t limit : {0u, 2u}) {
    SCOPED_TRACE(limit);
    InstrumentOptions options = BootOptions();
    options.Faults.AnswersBeforeSilence = limit;
    Instrument instrument(options);
    for (uint32_t i = 0; i < 4; ++i) {
      EXPECT_EQ(Exchange(instrument, BuildBootCommand(kBootConnect)).empty(), i >= limit);
    }
  }
}

TEST(InstrumentFaults, OddBlockSizeOnlyInTheFirstDeviceInformation) {
  InstrumentOptions options = BootOptions(256);
  options.Faults.OddBlockSizeOnce = true;
  Instrument instrument(options);
  const auto first = ParseDeviceInfo(Exchange(instrument, BuildBootCommand(kBootReadInfo)));
  const auto second = ParseDeviceInfo(Exchange(instrument, BuildBootCommand(kBootReadInfo)));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->BlockSize % 2, 1);
  EXPECT_EQ(second->BlockSize, 256);
  // Writes keep the real block size.
  Exchange(instrument, BuildEraseCommand(kSp1, kSp2));
  EXPECT_EQ(Exchange(instrument, WriteCommand(kSp1, kSp2, 0, RandomBytes(256, 1))), WriteAck(0));
}

// A reset the bootloader refuses or ignores leaves it running as it was:
// still in the bootloader, the memory still erased for more writes.
TEST(InstrumentFaults, RefusedOrIgnoredResetsLeaveTheBootloaderRunning) {
  struct Case {
    const char* name;
    InstrumentFaults faults;
    std::vector<Bytes> resetReplies;  // in order; an empty one: no answer
  };
  InstrumentFaults once;
  once.NegativeReplies = {{kBootReset, 1, 5}};
  InstrumentFaults always;
  always.NegativeReplies = {{kBootReset, std::nullopt, 5}};
  InstrumentFaults ignored;
  ignored.IgnoreReset = true;
  const Case cases[] = {
      {"refused once", once, {Nak(5), Ack(kBootReset)}},
      {"refused every time", always, {Nak(5), Nak(5), Nak(5), Nak(5)}},
      {"ignored", ignored, {{}, {}, {}, {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InstrumentOptions options = BootOptions();
    options.Faults = c.faults;
    Instrument instrument(options);
    ASSERT_EQ(Exchange(instrument, BuildEraseCommand(kSp1, kSp2)), Ack(kBootErase));
    uint32_t address = 0;
    for (const Bytes& reply : c.resetReplies) {
      EXPECT_EQ(Exchange(instrument, BuildBootCommand(kBootReset)), reply);
      if (reply == Ack(kBootReset)) {
        EXPECT_EQ(instrument.ResetCount(), 1u);
        EXPECT_EQ(instrument.Mode(), InstrumentMode::UserApplication);
        break;
      }
      EXPECT_EQ(instrument.ResetCount(), 0u);
      EXPECT_EQ(instrument.Mode(), InstrumentMode::Bootloader);
      EXPECT_EQ(Exchange(instrument, BuildBootCommand(kBootConnect)), Ack(kBootConnect));
      EXPECT_EQ(Exchange(instrument, WriteCommand(kSp1, kSp2, address, RandomBytes(256, address))),
                WriteAck(address));
      address += 256;
    }
  }
}

// The freeze or hang-up rides on the acknowledgement of the K-th accepted
// write only; refused writes and other answers do not count.
TEST(InstrumentFaults, FreezeAndHangUpFollowTheKthWriteAcknowledgement) {
  struct Case {
    const char* name;
    WriteFreezeFault freeze;
    uint32_t hangUp;
    std::vector<uint32_t> freezeMs;  // per acknowledged write
    std::vector<bool> hangUps;
  };
  const Case cases[] = {
      {"freeze after the second", {2, 1500}, 0, {0, 1500, 0}, {false, false, false}},
      {"freeze after the first", {1, 20}, 0, {20, 0, 0}, {false, false, false}},
      {"hang-up after the third", {}, 3, {0, 0, 0}, {false, false, true}},
      {"hang-up wins over a freeze", {2, 1500}, 2, {0, 0, 0}, {false, true, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InstrumentOptions options = BootOptions();
    options.Faults.FreezeAfterWrite = c.freeze;
    options.Faults.HangUpAfterWrite = c.hangUp;
    Instrument instrument(options);
    auto expectPlain = [](const std::vector<InstrumentOutput>& outputs) {
      for (const auto& out : outputs) {
        EXPECT_EQ(out.FreezeMsAfter, 0u);
        EXPECT_FALSE(out.HangUpAfter);
      }
    };
    expectPlain(instrument.Feed(BuildBootCommand(kBootConnect)));
    expectPlain(instrument.Feed(WriteCommand(kSp1, kSp2, 0, RandomBytes(256, 1))));  // not erased
    expectPlain(instrument.Feed(BuildEraseCommand(kSp1, kSp2)));
    Bytes badCrc = WriteCommand(kSp1, kSp2, 0, RandomBytes(256, 1));
    badCrc.back() ^= 1;
    expectPlain(instrument.Feed(badCrc));
    for (size_t k = 0; k < c.freezeMs.size(); ++k) {
      const auto address = static_cast<uint32_t>(k * 256);
      const auto outputs = instrument.Feed(WriteCommand(kSp1, kSp2, address, RandomBytes(256, 2)));
      ASSERT_EQ(outputs.size(), 1u);
      EXPECT_EQ(outputs[0].Bytes, WriteAck(address));
      EXPECT_EQ(outputs[0].FreezeMsAfter, c.freezeMs[k]) << "write " << k + 1;
      EXPECT_EQ(outputs[0].HangUpAfter, c.hangUps[k]) << "write " << k + 1;
      expectPlain(instrument.Feed(BuildBootCommand(kBootConnect)));
    }
    EXPECT_EQ(instrument.WriteAckCount(), c.freezeMs.size());
  }
}

// An acknowledgement that is never sent (silence) is no acknowledgement.
TEST(InstrumentFaults, SilencedWriteAcknowledgementsDoNotCount) {
  InstrumentOptions options = BootOptions();
  options.Faults.AnswersBeforeSilence = 1;
  options.Faults.HangUpAfterWrite = 1;
  Instrument instrument(options);
  EXPECT_EQ(Exchange(instrument, BuildEraseCommand(kSp1, kSp2)), Ack(kBootErase));
  EXPECT_TRUE(instrument.Feed(WriteCommand(kSp1, kSp2, 0, RandomBytes(256, 3))).empty());
  EXPECT_EQ(instrument.WriteAckCount(), 0u);
}

}  // namespace
}  // namespace quorvel::sim
