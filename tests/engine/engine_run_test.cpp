// Whole runs against the scripted instrument: block order and empty blocks,
// data-file checks, busy port, the timer's retries and give-up, Stop, and
// the end of the run.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <numeric>
#include <optional>

#include "engine_test_support.h"
#include "run/log_texts.h"
#include "run/traffic_decoder.h"

namespace quorvel::test {
namespace {

constexpr uint32_t kBase = 0x1000;
constexpr uint16_t kBlock = 256;

// Image bytes that differ from block to block and from 0xFF.
Bytes Pattern(size_t size, uint8_t seed = 1) {
  Bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>((i * 7 + seed) % 251);
  return image;
}

std::string Sending(const std::string& range) {
  return "- Sending data block: \t" + range + " ..........";
}
std::string Writing(const std::string& range) {
  return "- Writing data block: \t" + range + " OK";
}

class EngineRunTest : public ::testing::Test {
 protected:
  EngineHarness h;
  int rz303 = h.RowIndex("RZ-303");
};

TEST_F(EngineRunTest, ThreeBlockImageIsWrittenSecondBlockFirstAndFirstBlockLast) {
  const Bytes image = Pattern(3 * kBlock);
  const std::string file = h.WriteQvl("rz.qvl", image, 12, 0, kBase);
  ASSERT_TRUE(h.Start(rz303, file));
  h.RunFor(1000);

  EXPECT_EQ(h.WriteAddresses(), (std::vector<uint32_t>{kBase + kBlock, kBase + 2 * kBlock, kBase}));
  EXPECT_EQ(h.instrument.crcErrors, 0);
  EXPECT_EQ(h.instrument.Read(kBase, 3 * kBlock), image);
  EXPECT_EQ(h.instrument.erases, 1);
  EXPECT_EQ(h.instrument.resets, 1);
  EXPECT_EQ(h.progressClosed, 1);

  const std::vector<std::string> expected{
      "Date: 2024-05-07 09:05:03",
      "Selected device type: RZ-303",
      "Comm port: ttyUSB0  38400 N 8 1",
      "Data file: " + file,
      "Data size: 768",
      "Comm port: Connected",
      "- Connecting with bootloader: ..........",
      "- Connection established: bootloader protocol",
      "- Entering bootloader mode: OK",
      "- Reading device information: ..........",
      "- Device information: 12  RZ-303  4660/66  1.05",
      "- Erasing program memory: ..........",
      "- Erasing program memory: OK",
      "- Data block size: 256",
      "- Total data size: 768",
      Sending("0x1100 - 0x11FF"),
      Writing("0x1100 - 0x11FF"),
      Sending("0x1200 - 0x12FF"),
      Writing("0x1200 - 0x12FF"),
      Sending("0x1000 - 0x10FF"),
      Writing("0x1000 - 0x10FF"),
      "- Bytes written: 768 / 768",
      "- Device reset: ..........",
      "- Device reset: OK",
      "- Result: RZ-303 no 4660/66 programming was successful.",
  };
  EXPECT_EQ(h.Lines(), expected);
  ASSERT_EQ(h.prompt.shown.size(), 1u);
  EXPECT_EQ(h.prompt.shown[0].text, "RZ-303 no 4660/66 programming was successful.");
  EXPECT_EQ(h.prompt.shown[0].caption, "Quorvel");
  EXPECT_EQ(h.prompt.shown[0].flags, kIconInformation);
  EXPECT_TRUE(h.engine->LastOutcome().Success);
  EXPECT_FALSE(h.engine->Running());
  EXPECT_FALSE(h.serial.open);
  EXPECT_EQ(h.serial.holds, 0);
  EXPECT_EQ(h.progress.Values().Max(), 768u);
}

// The host hears every block sent and every chunk received, in wire order:
// read in that order, each reply answers the command before it, on a quiet
// line and on one that echoes every command.
TEST_F(EngineRunTest, TheHostHearsTheLineInWireOrder) {
  for (const bool echo : {false, true}) {
    SCOPED_TRACE(echo ? "echoing line" : "quiet line");
    EngineHarness run;
    if (echo) {
      run.deliver = [&run](const Bytes& sent, const Bytes& reply) {
        Bytes chunk = sent;
        chunk.insert(chunk.end(), reply.begin(), reply.end());
        run.Feed(chunk);
      };
    }
    const std::string file = run.WriteQvl("rz.qvl", Pattern(3 * kBlock), 12, 0, kBase);
    ASSERT_TRUE(run.Start(run.RowIndex("RZ-303"), file));
    run.RunFor(1000);
    ASSERT_EQ(run.ended, RunEnd::Success);

    std::vector<Bytes> sent;
    TrafficDecoder decoder(run.devices[run.RowIndex("RZ-303")]);
    std::string lastReply;
    for (const auto& [direction, bytes] : run.traffic) {
      if (direction == TrafficDirection::Sent) sent.push_back(bytes);
      const std::string meaning = decoder.Describe(direction, bytes);
      for (const char* wrong : {"noise", "incomplete", "unknown", "wrong"}) {
        EXPECT_EQ(meaning.find(wrong), std::string::npos) << meaning;
      }
      if (direction == TrafficDirection::Received) lastReply = meaning;
    }
    EXPECT_EQ(sent, run.serial.sent);
    EXPECT_EQ(lastReply, echo ? "echo; positive reply: reset" : "positive reply: reset");
  }
}

TEST_F(EngineRunTest, CommandsCarryIdentityWordsAndTheEraseGetsALongResponseTime) {
  const std::string file = h.WriteQvl("rz.qvl", Pattern(kBlock), 12, 0, kBase);
  ASSERT_TRUE(h.Start(rz303, file));
  h.RunFor(1000);
  ASSERT_EQ(h.SentWithCode(3).size(), 1u);
  EXPECT_EQ(h.SentWithCode(3)[0], (Bytes{0xB0, 0x03, 0x34, 0x12, 0x42, 0x00}));
  ASSERT_EQ(h.SentWithCode(4).size(), 1u);
  EXPECT_EQ(h.SentWithCode(4)[0].size(), 2u + 4 + 4 + kBlock + 2);
  for (size_t i = 0; i < h.serial.sent.size(); ++i) {
    const bool erase = h.serial.sent[i][1] == 0x03;
    EXPECT_EQ(h.serial.timeOutAtSend[i], erase ? 20000u : 8000u) << i;
  }
  // One block: written at the image start, nothing else.
  EXPECT_EQ(h.WriteAddresses(), std::vector<uint32_t>{kBase});
  EXPECT_TRUE(h.engine->LastOutcome().Success);
}

TEST_F(EngineRunTest, PartialLastBlockIsPaddedWithFF) {
  const Bytes image = Pattern(kBlock + 3);
  const std::string file = h.WriteQvl("rz.qvl", image, 12, 0, 0x20000);
  ASSERT_TRUE(h.Start(rz303, file));
  h.RunFor(1000);
  Bytes expected = image;
  expected.resize(2 * kBlock, 0xFF);
  EXPECT_EQ(h.instrument.Read(0x20000, 2 * kBlock), expected);
  EXPECT_TRUE(h.LogHas("- Total data size: 512"));
  EXPECT_TRUE(h.LogHas(Writing("0x20100 - 0x201FF")));  // at least 3 digits, here 5
}

struct EmptyBlocksCase {
  const char* name;
  std::vector<int> emptyBlocks;  // of a 4-block image
  std::vector<int> written;      // blocks sent, in order
  std::vector<int> skipped;      // empty-block lines, in order
};

class EmptyBlocksTest : public EngineRunTest,
                        public ::testing::WithParamInterface<EmptyBlocksCase> {};

TEST_P(EmptyBlocksTest, EmptyBlocksAreLoggedAndNeverSent) {
  const EmptyBlocksCase& c = GetParam();
  Bytes image = Pattern(4 * kBlock);
  for (int b : c.emptyBlocks) std::fill_n(image.begin() + b * kBlock, kBlock, 0xFF);
  const std::string file = h.WriteQvl("rz.qvl", image, 12, 0, kBase);
  ASSERT_TRUE(h.Start(rz303, file));
  h.RunFor(1000);

  std::vector<uint32_t> written;
  for (int b : c.written) written.push_back(kBase + b * kBlock);
  EXPECT_EQ(h.WriteAddresses(), written);
  std::vector<std::string> skippedLines;
  for (const std::string& line : h.Lines()) {
    if (line.starts_with(LogText(kLogEmptyBlock))) skippedLines.push_back(line);
  }
  std::vector<std::string> expectedSkipped;
  for (int b : c.skipped) {
    char range[64];
    std::snprintf(range, sizeof range, "0x%04X - 0x%04X", kBase + b * kBlock,
                  kBase + (b + 1) * kBlock - 1);
    expectedSkipped.push_back(LogText(kLogEmptyBlock) + range);
  }
  EXPECT_EQ(skippedLines, expectedSkipped);
  EXPECT_EQ(h.instrument.Read(kBase, 4 * kBlock), image);
  EXPECT_EQ(h.instrument.resets, 1);
  EXPECT_TRUE(h.engine->LastOutcome().Success);
  // The reset follows the last block sent directly.
  EXPECT_EQ(h.serial.sent.back(), (Bytes{0xB0, 0x05}));
}

INSTANTIATE_TEST_SUITE_P(Blocks, EmptyBlocksTest,
                         ::testing::Values(EmptyBlocksCase{"none", {}, {1, 2, 3, 0}, {}},
                                           EmptyBlocksCase{"middle", {2}, {1, 3, 0}, {2}},
                                           EmptyBlocksCase{"second", {1}, {2, 3, 0}, {1}},
                                           EmptyBlocksCase{"first", {0}, {1, 2, 3}, {0}},
                                           EmptyBlocksCase{"lastTwo", {2, 3}, {1, 0}, {2, 3}},
                                           EmptyBlocksCase{
                                               "allButFirst", {1, 2, 3}, {0}, {1, 2, 3}},
                                           EmptyBlocksCase{"all", {0, 1, 2, 3}, {}, {1, 2, 3, 0}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineRunTest, ResentFirstBlockAfterASkipStartsTheImageOver) {
  // Block 1 is empty; the write of block 2 goes unanswered, so the timer
  // goes back to the last acknowledged step (the erase). Every block must
  // still be written before the reset.
  Bytes image = Pattern(3 * kBlock);
  std::fill_n(image.begin() + kBlock, kBlock, 0xFF);
  const std::string file = h.WriteQvl("rz.qvl", image, 12, 0, kBase);
  int silentWrites = 1;
  h.instrument.fault = [&](const Bytes& c) -> std::optional<Bytes> {
    if (c[1] == 4 && silentWrites > 0) {
      --silentWrites;
      return Bytes{};
    }
    return std::nullopt;
  };
  ASSERT_TRUE(h.Start(rz303, file));
  h.RunFor(30000);
  EXPECT_EQ(h.WriteAddresses(),
            (std::vector<uint32_t>{kBase + 2 * kBlock, kBase + 2 * kBlock, kBase}));
  EXPECT_EQ(h.instrument.Read(kBase, 3 * kBlock), image);
  EXPECT_TRUE(h.engine->LastOutcome().Success);
}

TEST_F(EngineRunTest, EnglishTimeoutWhenNothingAnswers) {
  h.autoAnswer = false;
  const std::string file = h.WriteQvl("rz.qvl", Pattern(kBlock), 12, 0, kBase);
  ASSERT_TRUE(h.Start(rz303, file));
  const uint32_t elapsed = h.RunFor(60000);
  // 5 s of connects, 5 s of identify requests, alternately; the count of
  // 250 switches to the application once more before it gives up.
  EXPECT_EQ(elapsed, 25500u);
  EXPECT_EQ(h.ended, RunEnd::Timeout);
  ASSERT_GE(h.Lines().size(), 2u);
  EXPECT_EQ(h.Lines()[h.Lines().size() - 2], "- Timeout occured");
  EXPECT_EQ(h.Lines().back(), "- Result: Device programming was unsuccessful.");
  ASSERT_EQ(h.prompt.shown.size(), 1u);
  EXPECT_EQ(h.prompt.shown[0].text,
            "Device programming was unsuccessful.\r\n\r\n" + kNoConnectionAdvice.str());
  EXPECT_EQ(h.prompt.shown[0].flags, kIconWarning);
  EXPECT_EQ(h.LogCount("- Connecting with bootloader: .........."), 3);
  EXPECT_EQ(h.LogCount("- Connecting with user application: .........."), 3);
  // 50 connects per bootloader phase, 10 identify requests per application
  // phase, and the one at the count of 250.
  const size_t connects = h.SentWithCode(1).size();
  const size_t identifies = h.serial.sent.size() - connects;
  EXPECT_EQ(connects, 150u);
  EXPECT_EQ(identifies, 21u);
  EXPECT_EQ(h.serial.sent[50], AppFrame(0x01, 12, {}));
}

TEST_F(EngineRunTest, PolishResultTexts) {
  Language = 0;
  const std::string file = h.WriteQvl("rz.qvl", Pattern(kBlock), 12, 0, kBase);
  ASSERT_TRUE(h.Start(rz303, file));
  h.RunFor(1000);
  ASSERT_EQ(h.prompt.shown.size(), 1u);
  EXPECT_EQ(h.prompt.shown[0].text, "Programowanie RZ-303 nr 4660/66 zakończyło się sukcesem.");
  EXPECT_EQ(h.Lines()[0], "Data: 2024-05-07 09:05:03");
}

struct BootloaderOnlyCase {
  const char* row;
};

class BootloaderOnlyRowTest : public EngineRunTest,
                              public ::testing::WithParamInterface<BootloaderOnlyCase> {};

TEST_P(BootloaderOnlyRowTest, RowsWithoutAddressableApplicationTimeOutInBootloaderProtocol) {
  h.autoAnswer = false;
  const int row = h.RowIndex(GetParam().row);
  const TDevAvailData& data = h.devices[static_cast<size_t>(row)];
  const std::string file = h.WriteQvl("f.qvl", Pattern(kBlock), data.DevCode, data.Variant, kBase);
  ASSERT_TRUE(h.Start(row, file));
  const uint32_t elapsed = h.RunFor(60000);
  EXPECT_EQ(h.ended, RunEnd::Timeout);
  EXPECT_EQ(elapsed, 25100u);
  EXPECT_EQ(h.SentWithCode(1).size(), h.serial.sent.size());  // connects only
  EXPECT_EQ(h.engine->Protocol(), TProtocol::Boot);
  EXPECT_EQ(h.LogCount("- Connecting with bootloader: .........."), 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, BootloaderOnlyRowTest,
                         ::testing::Values(BootloaderOnlyCase{"KV-310"},
                                           BootloaderOnlyCase{"HOX-27"}));

TEST_F(EngineRunTest, ConnectIsRepeatedEvery100MsAndRunContinuesWhenTheBootloaderWakes) {
  int silentConnects = 7;
  h.instrument.fault = [&](const Bytes& c) -> std::optional<Bytes> {
    if (c[1] == 1 && silentConnects > 0) {
      --silentConnects;
      return Bytes{};
    }
    return std::nullopt;
  };
  const std::string file = h.WriteQvl("rz.qvl", Pattern(2 * kBlock), 12, 0, kBase);
  ASSERT_TRUE(h.Start(rz303, file));
  h.Tick(99);
  EXPECT_EQ(h.serial.sent.size(), 1u);
  h.Tick(1);
  EXPECT_EQ(h.serial.sent.size(), 2u);
  h.RunFor(2000);
  EXPECT_EQ(h.SentWithCode(1).size(), 8u);
  EXPECT_EQ(h.LogCount("- Connecting with bootloader: .........."), 1);
  EXPECT_TRUE(h.engine->LastOutcome().Success);
}

// The first end is the one that ended the run: the host hears it once, and
// neither a second Stop nor the timer's give-up replaces it.
TEST_F(EngineRunTest, OnlyTheFirstEndCounts) {
  h.autoAnswer = false;
  const std::string file = h.WriteQvl("rz.qvl", Pattern(kBlock), 12, 0, kBase);
  ASSERT_TRUE(h.Start(rz303, file));
  h.engine->Stop();
  h.engine->Stop();
  h.Tick(60000);
  EXPECT_EQ(h.ended, RunEnd::Stop);
  EXPECT_EQ(h.endsHeard, 1);
  h.RunFor(0);
  EXPECT_EQ(h.engine->LastOutcome().Cause, RunCause::UserStop);
}

TEST_F(EngineRunTest, StopDuringTransferReportsUserAbort) {
  const std::string file = h.WriteQvl("rz.qvl", Pattern(3 * kBlock), 12, 0, kBase);
  h.instrument.fault = [&](const Bytes& c) -> std::optional<Bytes> {
    if (c[1] == 4 && h.instrument.writeOrder.size() == 1) {
      h.engine->Stop();  // the user presses Stop
      return Bytes{};
    }
    return std::nullopt;
  };
  ASSERT_TRUE(h.Start(rz303, file));
  h.RunFor(1000);
  EXPECT_EQ(h.progressClosed, 1);
  EXPECT_EQ(h.Lines()[h.Lines().size() - 2], "- User abort");
  ASSERT_EQ(h.prompt.shown.size(), 1u);
  EXPECT_EQ(h.prompt.shown[0].text,
            "RZ-303 no 4660/66 programming was unsuccessful.\r\n\r\nUser abort.");
  EXPECT_EQ(h.serial.calls.back(), "PortNumber=0");
  EXPECT_FALSE(h.serial.open);
  // The timer does nothing after the run.
  const size_t sent = h.serial.sent.size();
  h.Tick(10000);
  EXPECT_EQ(h.serial.sent.size(), sent);
}

TEST_F(EngineRunTest, StopWhileSkippingEmptyBlocksFinishesOnce) {
  Bytes image(4 * kBlock, 0xFF);
  std::fill_n(image.begin(), kBlock, 0x00);  // only the first block holds data
  const std::string file = h.WriteQvl("rz.qvl", image, 12, 0, kBase);
  int pending = 0;
  h.onPendingEvents = [&] {
    if (++pending == 2) h.engine->Stop();
  };
  ASSERT_TRUE(h.Start(rz303, file));
  h.RunFor(1000);
  EXPECT_EQ(pending, 2);
  EXPECT_TRUE(h.WriteAddresses().empty());
  EXPECT_EQ(h.LogCount("- User abort"), 1);
  EXPECT_EQ(h.prompt.shown.size(), 1u);  // the window's release does not finish again
  EXPECT_FALSE(h.engine->Running());
}

struct FileCheckCase {
  const char* name;
  uint16_t devCode;
  uint16_t variant;
  bool hex;
  const char* logLine;  // empty: the run goes on
  const char* message;
};

class FileCheckTest : public EngineRunTest, public ::testing::WithParamInterface<FileCheckCase> {};

TEST_P(FileCheckTest, DataFileIsComparedWithTheSelectedRow) {
  const FileCheckCase& c = GetParam();
  const std::string file = c.hex
                               ? h.WriteHex("f.hex", Pattern(kBlock), kBase)
                               : h.WriteQvl("f.qvl", Pattern(kBlock), c.devCode, c.variant, kBase);
  const bool goesOn = h.Start(rz303, file);
  if (std::string(c.logLine).empty()) {
    EXPECT_TRUE(goesOn);
    EXPECT_FALSE(h.prompt.shown.size());
    EXPECT_TRUE(h.LogHas("Data size: 256"));
    return;
  }
  EXPECT_FALSE(goesOn);
  EXPECT_TRUE(h.serial.sent.empty());
  EXPECT_EQ(std::count(h.serial.calls.begin(), h.serial.calls.end(), "SetParams=ttyUSB0"), 0);
  EXPECT_EQ(h.Lines()[4], c.logLine);
  EXPECT_EQ(h.Lines().back(), "- Result: Device programming was unsuccessful.");
  ASSERT_FALSE(h.prompt.shown.empty());
  EXPECT_EQ(h.prompt.shown.back().text, c.message);
  EXPECT_FALSE(h.engine->Running());
}

INSTANTIATE_TEST_SUITE_P(
    Files, FileCheckTest,
    ::testing::Values(FileCheckCase{"matching", 12, 0, false, "", ""},
                      FileCheckCase{"hexNotCompared", 0, 0, true, "", ""},
                      FileCheckCase{"variantDiffers", 12, 1, false,
                                    "- Incompatible device types: selected and data file",
                                    "Device programming was unsuccessful.\r\n\r\n"
                                    "Incompatible device types: selected and data file."},
                      FileCheckCase{
                          "deviceDiffers", 6, 0, false,
                          "- Incompatible device types: selected (RZ-303) and data file (M-530)",
                          "Device programming was unsuccessful.\r\n\r\n"
                          "Incompatible device types: selected (RZ-303) and data file (M-530)."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineRunTest, UnreadableOrEmptyDataFileStopsBeforeTheLinkIsOpened) {
  // A record line with one letter that is not a hexadecimal digit.
  const std::string corrupt = (h.dir / "corrupt.hex").string();
  std::ofstream(corrupt) << ":020000040000FA\n:04000000O1020304F2\n:00000001FF\n";
  struct Case {
    std::string file;
    std::string cause;
    uint32_t problemLine;
    std::string problem;        // part of the cause the outcome names
    std::string readerMessage;  // shown to the run's user before the result; empty: none
  } cases[] = {
      {(h.dir / "missing.qvl").string(), "File not found", 0, "",
       "File not found:\r\n" + (h.dir / "missing.qvl").string()},
      {h.WriteHex("empty.hex", {}, 0), "Bad file format", 0, "the file holds no data", ""},
      {corrupt, "Data reading error", 2, "is not a hexadecimal digit",
       "Data reading error:\r\n" + corrupt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    h.prompt.shown.clear();
    h.serial.calls.clear();
    EXPECT_FALSE(h.Start(rz303, c.file));
    EXPECT_EQ(h.Lines()[4], "Data file error: " + c.cause);
    EXPECT_TRUE(h.serial.sent.empty());
    EXPECT_EQ(std::count(h.serial.calls.begin(), h.serial.calls.end(), "SetParams=ttyUSB0"), 0);
    ASSERT_EQ(h.prompt.shown.size(), c.readerMessage.empty() ? 1u : 2u);
    if (!c.readerMessage.empty()) {
      EXPECT_EQ(h.prompt.shown[0].text, c.readerMessage);
      EXPECT_EQ(h.prompt.shown[0].caption, "Error");
    }
    EXPECT_EQ(h.prompt.shown.back().text,
              "Device programming was unsuccessful.\r\n\r\nData file error: " + c.cause + ".");
    const RunOutcome& outcome = h.engine->LastOutcome();
    EXPECT_EQ(outcome.Cause, RunCause::FileRefused);
    EXPECT_EQ(outcome.FileProblem.Line, c.problemLine);
    EXPECT_NE(outcome.FileProblem.Cause.find(c.problem), std::string::npos)
        << outcome.FileProblem.Cause;
  }
}

// A port that does not open ends the run at once, with its own status text:
// no instrument can answer through it.
TEST_F(EngineRunTest, PortThatDoesNotOpenEndsTheRunAtOnceWithItsStatus) {
  const std::string file = h.WriteQvl("rz.qvl", Pattern(kBlock), 12, 0, kBase);
  const struct {
    TLinkStatus status;
    const char* text;
  } cases[] = {
      {TLinkStatus::Busy, "Busy"},
      {TLinkStatus::AccessDenied, "Access denied"},
      {TLinkStatus::PortNotFound, "Port not found"},
      {TLinkStatus::PortError, "Port COM error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    h.prompt.shown.clear();
    h.serial.statusOnOpen = c.status;
    EXPECT_FALSE(h.Start(rz303, file));
    EXPECT_TRUE(h.serial.sent.empty());
    EXPECT_EQ(h.Lines()[h.Lines().size() - 2], std::string("Comm port: ") + c.text);
    ASSERT_EQ(h.prompt.shown.size(), 1u);
    EXPECT_EQ(
        h.prompt.shown[0].text,
        std::string("Device programming was unsuccessful.\r\n\r\nComm port: ") + c.text + ".");
    EXPECT_EQ(h.engine->LastOutcome().Cause, RunCause::LinkError);
    EXPECT_EQ(h.engine->LastOutcome().LinkStatus, c.status);
  }
}

TEST_F(EngineRunTest, SerialLineIsSetUpFromTheRowAndTheSettings) {
  const int m530 = h.RowIndex("M-530");  // RtsState 1
  const std::string file = h.WriteQvl("m.qvl", Pattern(kBlock), 6, 0, kBase);
  h.instrument.deviceCode = 6;
  ASSERT_TRUE(h.Start(m530, file));
  EXPECT_TRUE(h.serial.rts);
  EXPECT_FALSE(h.serial.dtr);
  // The transmit size fits the largest write command before the port opens.
  EXPECT_EQ(h.serial.calls,
            (std::vector<std::string>{"COMPort=", "TransmitSize=65546", "SetParams=ttyUSB0"}));
  EXPECT_EQ(h.serial.params, (LineSettings{br038400, pbNone, dbEight, sbOne}));
  EXPECT_EQ(h.serial.sent, std::vector<Bytes>{(Bytes{0xB0, 0x01})});
  // Closing and opening wrote no status lines; the refresh wrote one.
  EXPECT_EQ(h.LogCount("Comm port: Connected"), 1);
  EXPECT_EQ(h.LogCount("Comm port: Disconnected"), 0);
}

TEST_F(EngineRunTest, UnansweredResetIsSentAgainAndStillSucceeds) {
  int silentResets = 1;
  h.instrument.fault = [&](const Bytes& c) -> std::optional<Bytes> {
    if (c[1] == 5 && silentResets > 0) {
      --silentResets;
      return Bytes{};
    }
    return std::nullopt;
  };
  const std::string file = h.WriteQvl("rz.qvl", Pattern(2 * kBlock), 12, 0, kBase);
  ASSERT_TRUE(h.Start(rz303, file));
  const uint32_t elapsed = h.RunFor(20000);
  EXPECT_EQ(elapsed, 5000u);
  EXPECT_EQ(h.SentWithCode(5).size(), 2u);
  EXPECT_EQ(h.SentWithCode(4).size(), 2u);  // no block again
  EXPECT_EQ(h.ended, RunEnd::Success);
  EXPECT_TRUE(h.engine->LastOutcome().Success);
}

TEST_F(EngineRunTest, EraseIsRepeatedAfter20SecondsOtherCommandsAfter5) {
  struct Case {
    uint8_t silentCode;
    uint32_t wait;
    const char* device;
  } cases[] = {
      {3, 20000, "RZ-303 no 4660/66"}, {2, 5000, "Device"}, {4, 5000, "RZ-303 no 4660/66"}};
  for (const Case& c : cases) {
    EngineHarness run;
    run.instrument.fault = [&](const Bytes& cmd) -> std::optional<Bytes> {
      if (cmd[1] == c.silentCode) return Bytes{};
      return std::nullopt;
    };
    const std::string file = run.WriteQvl("rz.qvl", Pattern(kBlock), 12, 0, kBase);
    ASSERT_TRUE(run.Start(run.RowIndex("RZ-303"), file));
    run.Pump();
    ASSERT_EQ(run.SentWithCode(c.silentCode).size(), 1u);
    run.Tick(c.wait - 100);
    EXPECT_EQ(run.SentWithCode(c.silentCode).size(), 1u) << int(c.silentCode);
    run.Tick(100);
    EXPECT_EQ(run.SentWithCode(c.silentCode).size(), 2u) << int(c.silentCode);
    // Five repeats, then the timeout (the bootloader was entered: no advice).
    run.RunFor(10 * c.wait);
    EXPECT_EQ(run.SentWithCode(c.silentCode).size(), 6u) << int(c.silentCode);
    EXPECT_EQ(run.ended, RunEnd::Timeout);
    ASSERT_EQ(run.prompt.shown.size(), 1u);
    EXPECT_EQ(run.prompt.shown[0].text,
              std::string(c.device) + " programming was unsuccessful.\r\n\r\nTimeout occured.");
  }
}

TEST_F(EngineRunTest, UsbRowOpensTheDeviceWithTheRowsLineSettings) {
  // Y-310: a USB row whose application has no requests; it stays with the
  // bootloader protocol until the give-up.
  const int y310 = h.RowIndex("Y-310", TLinkKind::Usb);
  const std::string file = h.WriteQvl("y.qvl", Pattern(kBlock), 24, 0, kBase);
  ASSERT_TRUE(h.Start(y310, file));
  // The device is closed and opened with its status unheard: the closing's
  // "Disconnected" is no failure of the run that is starting.
  EXPECT_EQ(h.usb.calls,
            (std::vector<std::string>{"DeviceIndex=0 (quiet)", "DeviceIndex=1 (quiet)"}));
  EXPECT_EQ(h.usb.params, (LineSettings{br125000, pbNone, dbEight, sbOne}));
  EXPECT_EQ(h.Lines()[2], "USB device: ttyUSB0");
  EXPECT_TRUE(h.serial.sent.empty());
  EXPECT_EQ(h.RunFor(60000), 25100u);
  EXPECT_EQ(h.usb.sent.size(), 251u);
  for (const Bytes& b : h.usb.sent) EXPECT_EQ(b, (Bytes{0xB0, 0x01}));
  EXPECT_EQ(h.usb.calls.back(), "DeviceIndex=0 (quiet)");
}

// A converter that did not open reports "Access denied" whatever the cause;
// the cause it knows follows in the log and goes with the outcome.
TEST_F(EngineRunTest, UsbDeviceThatDidNotOpenNamesItsCause) {
  h.usb.statusOnOpen = TLinkStatus::AccessDenied;
  h.usb.failureDetail = "the converter is held by another program";
  const int y310 = h.RowIndex("Y-310", TLinkKind::Usb);
  const std::string file = h.WriteQvl("y.qvl", Pattern(kBlock), 24, 0, kBase);
  EXPECT_FALSE(h.Start(y310, file));
  EXPECT_EQ(h.Lines()[h.Lines().size() - 3], "USB device: Access denied");
  EXPECT_EQ(h.Lines()[h.Lines().size() - 2],
            "USB device: the converter is held by another program");
  EXPECT_EQ(h.engine->LastOutcome().Cause, RunCause::LinkError);
  EXPECT_EQ(h.engine->LastOutcome().LinkProblem, "the converter is held by another program");
}

TEST_F(EngineRunTest, BusyUsbDeviceEndsTheRun) {
  h.usb.statusOnOpen = TLinkStatus::Busy;
  const int y310 = h.RowIndex("Y-310", TLinkKind::Usb);
  const std::string file = h.WriteQvl("y.qvl", Pattern(kBlock), 24, 0, kBase);
  EXPECT_FALSE(h.Start(y310, file));
  EXPECT_EQ(h.Lines()[h.Lines().size() - 2], "USB device: Busy");
  ASSERT_EQ(h.prompt.shown.size(), 1u);
  EXPECT_EQ(h.prompt.shown[0].text,
            "Device programming was unsuccessful.\r\n\r\nUSB device: Busy.");
}

// Every block acknowledged but the reset not: the image is in the device,
// whether it starts is unknown. That is never reported as a success.
TEST_F(EngineRunTest, ResetNotConfirmedIsItsOwnResultNotASuccess) {
  const struct {
    const char* name;
    std::function<std::optional<Bytes>(EngineHarness&)> onReset;
    const char* detail;
  } cases[] = {
      {"refused",
       [](EngineHarness&) {
         return Bytes{0x7F, 0x05};
       },
       "Unknown bootloader error: 5."},
      {"never answered", [](EngineHarness&) { return Bytes{}; }, "Timeout occured."},
      {"stopped by the user",
       [](EngineHarness& run) {
         run.engine->Stop();
         return Bytes{};
       },
       "User abort."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineHarness run;
    run.instrument.fault = [&](const Bytes& cmd) -> std::optional<Bytes> {
      if (cmd[1] == 5) return c.onReset(run);
      return std::nullopt;
    };
    const Bytes image = Pattern(2 * kBlock);
    const std::string file = run.WriteQvl("rz.qvl", image, 12, 0, kBase);
    ASSERT_TRUE(run.Start(run.RowIndex("RZ-303"), file));
    run.RunFor(60000);
    EXPECT_EQ(run.instrument.Read(kBase, 2 * kBlock), image);
    const RunOutcome& outcome = run.engine->LastOutcome();
    EXPECT_FALSE(outcome.Success);
    EXPECT_EQ(outcome.Cause, RunCause::RestartNotConfirmed);
    EXPECT_EQ(outcome.Icon, kIconWarning);
    EXPECT_EQ(run.Lines().back(),
              "- Result: RZ-303 no 4660/66 programming wrote the image, but the device did not "
              "confirm its restart.");
    ASSERT_EQ(run.prompt.shown.size(), 1u);
    EXPECT_EQ(run.prompt.shown[0].text,
              "RZ-303 no 4660/66 programming wrote the image, but the device did not confirm its "
              "restart.\r\n\r\n" +
                  std::string(c.detail) + "\r\n\r\n" + kUnconfirmedAdvice.str());
  }
}

TEST_F(EngineRunTest, ResetNotConfirmedInPolish) {
  Language = 0;
  h.instrument.fault = [](const Bytes& cmd) -> std::optional<Bytes> {
    if (cmd[1] == 5) return Bytes{0x7F, 0x05};
    return std::nullopt;
  };
  const std::string file = h.WriteQvl("rz.qvl", Pattern(kBlock), 12, 0, kBase);
  ASSERT_TRUE(h.Start(rz303, file));
  h.RunFor(1000);
  ASSERT_EQ(h.prompt.shown.size(), 1u);
  EXPECT_EQ(h.prompt.shown[0].text.rfind(
                "Programowanie RZ-303 nr 4660/66 zapisało obraz, ale urządzenie nie potwierdziło "
                "ponownego uruchomienia.",
                0),
            0u);
}

// An adapter pulled out (or the other end gone) ends the run at once, not
// after half a minute of retries.
TEST_F(EngineRunTest, LinkLostDuringTheRunEndsItAtOnce) {
  const std::string file = h.WriteQvl("rz.qvl", Pattern(4 * kBlock), 12, 0, kBase);
  h.instrument.fault = [&](const Bytes& c) -> std::optional<Bytes> {
    if (c[1] == 4 && h.instrument.writeOrder.size() == 2) {
      h.serial.open = false;
      h.serial.status = TLinkStatus::CommunicationError;
      h.serial.Report();
      return Bytes{};
    }
    return std::nullopt;
  };
  ASSERT_TRUE(h.Start(rz303, file));
  EXPECT_EQ(h.RunFor(60000), 0u);
  const RunOutcome& outcome = h.engine->LastOutcome();
  EXPECT_EQ(outcome.Cause, RunCause::LinkError);
  EXPECT_EQ(outcome.LinkStatus, TLinkStatus::CommunicationError);
  ASSERT_EQ(h.prompt.shown.size(), 1u);
  EXPECT_EQ(h.prompt.shown[0].text,
            "RZ-303 no 4660/66 programming was unsuccessful.\r\n\r\nComm port: Communication "
            "error.");
}

// A damaged character on a line that stays open is no reason to give up: the
// timer sends the command again.
TEST_F(EngineRunTest, LineErrorOnAnOpenPortDoesNotEndTheRun) {
  const std::string file = h.WriteQvl("rz.qvl", Pattern(2 * kBlock), 12, 0, kBase);
  bool once = true;
  h.instrument.fault = [&](const Bytes& c) -> std::optional<Bytes> {
    if (c[1] == 4 && once) {
      once = false;
      h.serial.status = TLinkStatus::CommunicationError;
      h.serial.Report();
      return Bytes{};
    }
    return std::nullopt;
  };
  ASSERT_TRUE(h.Start(rz303, file));
  h.RunFor(60000);
  EXPECT_TRUE(h.engine->LastOutcome().Success);
}

TEST_F(EngineRunTest, OutcomeCausesOfFailures) {
  h.autoAnswer = false;
  const std::string file = h.WriteQvl("rz.qvl", Pattern(kBlock), 12, 0, kBase);
  ASSERT_TRUE(h.Start(rz303, file));
  h.RunFor(60000);
  EXPECT_EQ(h.engine->LastOutcome().Cause, RunCause::NoConnection);

  EngineHarness wrong;
  wrong.instrument.deviceCode = 6;
  ASSERT_TRUE(wrong.Start(wrong.RowIndex("RZ-303"), file));
  wrong.RunFor(1000);
  EXPECT_EQ(wrong.engine->LastOutcome().Cause, RunCause::DeviceMismatch);

  EngineHarness refused;
  refused.instrument.fault = [](const Bytes& c) -> std::optional<Bytes> {
    if (c[1] == 3) return Bytes{0x7F, 0x09};
    return std::nullopt;
  };
  ASSERT_TRUE(refused.Start(refused.RowIndex("RZ-303"), file));
  refused.RunFor(1000);
  EXPECT_EQ(refused.engine->LastOutcome().Cause, RunCause::DeviceRefused);

  EngineHarness silentLater;
  silentLater.instrument.fault = [](const Bytes& c) -> std::optional<Bytes> {
    if (c[1] == 3) return Bytes{};
    return std::nullopt;
  };
  ASSERT_TRUE(silentLater.Start(silentLater.RowIndex("RZ-303"), file));
  silentLater.RunFor(200000);
  EXPECT_EQ(silentLater.engine->LastOutcome().Cause, RunCause::Timeout);

  EngineHarness success;
  ASSERT_TRUE(success.Start(success.RowIndex("RZ-303"), file));
  success.RunFor(1000);
  EXPECT_EQ(success.engine->LastOutcome().Cause, RunCause::Success);
}

// A device asking for blocks larger than the link can carry in one frame is
// refused with the reason instead of timing out on truncated commands.
TEST_F(EngineRunTest, BlockLargerThanTheLinkCanCarryIsRefused) {
  const std::string file = h.WriteQvl("rz.qvl", Pattern(kBlock), 12, 0, kBase);
  h.instrument.blockSize = 65534;
  ASSERT_TRUE(h.Start(rz303, file));
  h.RunFor(60000);
  EXPECT_TRUE(h.SentWithCode(3).empty());
  EXPECT_EQ(h.engine->LastOutcome().Cause, RunCause::DeviceMismatch);
  EXPECT_TRUE(h.LogHas("- Data block size: 65534, too large for the link, largest: 65523"));
}

TEST_F(EngineRunTest, BlocksOf1024AndMoreFitTheLink) {
  for (uint16_t block : {1014, 1024, 4096}) {
    EngineHarness run;
    run.instrument.blockSize = block;
    const Bytes image = Pattern(3 * block);
    const std::string file = run.WriteQvl("rz.qvl", image, 12, 0, kBase);
    ASSERT_TRUE(run.Start(run.RowIndex("RZ-303"), file));
    run.RunFor(1000);
    EXPECT_TRUE(run.engine->LastOutcome().Success) << block;
    for (const Bytes& write : run.SentWithCode(4)) {
      EXPECT_LE(write.size(), run.serial.transmitSize);
    }
  }
}

}  // namespace
}  // namespace quorvel::test
