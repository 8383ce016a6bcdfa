#include "vantor/traffic_rows.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <vector>

#include "run/bus_frames.h"

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = TrafficRowModel::Clock;

struct Block {
  TrafficDirection direction;
  Bytes bytes;
};

// A connect, its echo and reply, a device-information request cut over two
// replies, and noise.
std::vector<Block> Conversation() {
  const Bytes connect = BuildBootCommand(kBootConnect);
  const Bytes info = BuildBootCommand(kBootReadInfo);
  DeviceInfo device;
  device.SerialPart1 = 0x1234;
  device.BootVersion = "1.07";
  device.BlockSize = 256;
  device.ProtocolVersion = 1;
  const Bytes reply = BuildDeviceInfoReply(device);
  return {{TrafficDirection::Sent, connect},
          {TrafficDirection::Received, connect},
          {TrafficDirection::Received, {kBootPositive, kBootConnect}},
          {TrafficDirection::Sent, info},
          {TrafficDirection::Received, Bytes(reply.begin(), reply.begin() + 7)},
          {TrafficDirection::Received, Bytes(reply.begin() + 7, reply.end())},
          {TrafficDirection::Received, {0x00, 0xFF, 0x41}}};
}

Bytes NumberedBlock(int n) {
  return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
}

std::string Cell(const TrafficRowModel& rows, int row, int column,
                 int role = Qt::DisplayRole) {
  return rows.data(rows.index(row, column), role).toString().toStdString();
}

TEST(TrafficRows, BlocksReachTheViewInOneBatchAfterAShortWait) {
  TrafficRowModel rows;
  QSignalSpy inserted(&rows, &QAbstractItemModel::rowsInserted);
  QSignalSpy changed(&rows, &TrafficRowModel::RowsChanged);
  for (int n = 0; n < 50; ++n) rows.AddBlock(TrafficDirection::Sent, NumberedBlock(n));
  EXPECT_EQ(rows.rowCount(), 0);
  ASSERT_TRUE(changed.wait(10000));
  EXPECT_EQ(rows.rowCount(), 50);
  EXPECT_EQ(inserted.count(), 1);
}

TEST(TrafficRows, KeepsTheNewestRowsUpToTheBoundOverBatches) {
  TrafficRowModel rows(5);
  int next = 0;
  for (int batch : {3, 4, 12, 1}) {
    for (int n = 0; n < batch; ++n) rows.AddBlock(TrafficDirection::Received, NumberedBlock(next++));
    rows.Flush();
    ASSERT_LE(rows.rowCount(), 5);
  }
  ASSERT_EQ(rows.rowCount(), 5);
  for (int row = 0; row < 5; ++row) EXPECT_EQ(rows.RowAt(row).bytes, NumberedBlock(next - 5 + row));
  EXPECT_EQ(rows.DroppedRows(), static_cast<uint64_t>(next - 5));
}

struct BoundCase {
  const char* name;
  size_t maxRows;
  size_t maxBytes;
  size_t blockLength;
  int blocks;
  size_t kept;
};

// The rows shown stay within both bounds whether the blocks come in one
// batch or in many.
TEST(TrafficRows, RowsAndBytesStayWithinTheirBounds) {
  const BoundCase cases[] = {
      {"rows", 10, 1 << 20, 100, 35, 10},
      {"bytes", 1000, 65536, 1000, 300, 65},
      {"both", 50, 65536, 2000, 120, 32},
  };
  for (const BoundCase& c : cases) {
    for (int perBatch : {1, 7, 1000}) {
      TrafficRowModel rows(c.maxRows, c.maxBytes);
      for (int n = 0; n < c.blocks; ++n) {
        Bytes block(c.blockLength, 0);
        block[0] = static_cast<uint8_t>(n);
        rows.AddBlock(TrafficDirection::Sent, block);
        if ((n + 1) % perBatch == 0) rows.Flush();
      }
      rows.Flush();
      SCOPED_TRACE(std::string(c.name) + " per batch " + std::to_string(perBatch));
      ASSERT_EQ(static_cast<size_t>(rows.rowCount()), c.kept);
      EXPECT_EQ(rows.DroppedRows(), c.blocks - c.kept);
      EXPECT_EQ(rows.RowAt(rows.rowCount() - 1).bytes[0], static_cast<uint8_t>(c.blocks - 1));
      EXPECT_EQ(rows.RowAt(0).bytes[0], static_cast<uint8_t>(c.blocks - c.kept));
    }
  }
}

TEST(TrafficRows, ABlockLongerThanATraceLineBecomesSeveralRows) {
  TrafficRowModel rows;
  Bytes block(2 * kTraceMaxBlock + 10, 0x5A);
  block.back() = 0x01;
  rows.AddBlock(TrafficDirection::Received, block);
  rows.Flush();
  ASSERT_EQ(rows.rowCount(), 3);
  EXPECT_EQ(rows.RowAt(0).bytes.size(), kTraceMaxBlock);
  EXPECT_EQ(rows.RowAt(2).bytes, Bytes(block.end() - 10, block.end()));
  EXPECT_FALSE(rows.RowAt(0).meaning.empty());
  EXPECT_TRUE(rows.RowAt(1).meaning.empty());
}

TEST(TrafficRows, MeaningsAreTheDecodersOverTheWholeStreamPausedBlocksIncluded) {
  const std::vector<Block> blocks = Conversation();
  TrafficDecoder decoder;
  std::vector<std::string> expected;
  for (const Block& block : blocks) expected.push_back(decoder.Describe(block.direction, block.bytes));

  // The connect and its echo go by while paused: the reply after the pause
  // is still read against the connect.
  TrafficRowModel rows;
  rows.SetPaused(true);
  rows.AddBlock(blocks[0].direction, blocks[0].bytes);
  rows.AddBlock(blocks[1].direction, blocks[1].bytes);
  rows.SetPaused(false);
  for (size_t n = 2; n < blocks.size(); ++n) rows.AddBlock(blocks[n].direction, blocks[n].bytes);
  rows.Flush();
  EXPECT_EQ(rows.SkippedWhilePaused(), 2u);
  ASSERT_EQ(rows.rowCount(), static_cast<int>(blocks.size() - 2));
  for (int row = 0; row < rows.rowCount(); ++row) {
    const size_t n = static_cast<size_t>(row) + 2;
    EXPECT_FALSE(expected[n].empty());
    EXPECT_EQ(rows.RowAt(row).meaning, expected[n]) << "block " << n;
    EXPECT_EQ(Cell(rows, row, TrafficRowModel::Meaning), expected[n]);
  }
}

TEST(TrafficRows, TimesCountFromTheFirstBlockWithTheGapToThePreviousRow) {
  TrafficRowModel rows;
  rows.SetPort("/dev/ttyUSB0");
  const Clock::time_point start = Clock::now();
  rows.AddBlock(TrafficDirection::Sent, Bytes{1}, start);
  rows.AddBlock(TrafficDirection::Received, Bytes{2, 3}, start + std::chrono::microseconds(1500));
  rows.AddBlock(TrafficDirection::Received, Bytes{4}, start + std::chrono::microseconds(4000));
  rows.Flush();
  EXPECT_EQ(Cell(rows, 0, TrafficRowModel::Time), "0.000");
  EXPECT_EQ(Cell(rows, 2, TrafficRowModel::Time), "4.000 (+2.500)");
  EXPECT_EQ(rows.RowAt(1).microseconds, 1500);
  EXPECT_EQ(Cell(rows, 1, TrafficRowModel::Port), "/dev/ttyUSB0");
  EXPECT_EQ(Cell(rows, 1, TrafficRowModel::Length), "2");
  EXPECT_EQ(Cell(rows, 1, TrafficRowModel::Hex), "02 03");

  // After a clear the next block starts the clock again.
  rows.Clear();
  EXPECT_EQ(rows.rowCount(), 0);
  rows.AddBlock(TrafficDirection::Sent, Bytes{5}, start + std::chrono::seconds(9));
  rows.Flush();
  EXPECT_EQ(rows.RowAt(0).microseconds, 0);
}

TEST(TrafficRows, DirectionsDifferInTextAsWellAsColour) {
  TrafficRowModel rows;
  rows.AddBlock(TrafficDirection::Sent, Bytes{0x41});
  rows.AddBlock(TrafficDirection::Received, Bytes{0x41});
  rows.Flush();
  EXPECT_NE(Cell(rows, 0, TrafficRowModel::Direction), Cell(rows, 1, TrafficRowModel::Direction));
  EXPECT_NE(rows.data(rows.index(0, 0), Qt::BackgroundRole),
            rows.data(rows.index(1, 0), Qt::BackgroundRole));
}

TEST(TrafficRows, HexAndAsciiOfALongBlockAreCutButCopyKeepsEveryByte) {
  TrafficRowModel rows;
  Bytes block(3000, 'A');
  block[0] = 0x07;
  rows.AddBlock(TrafficDirection::Received, block);
  rows.Flush();
  const std::string ascii = Cell(rows, 0, TrafficRowModel::Ascii);
  EXPECT_EQ(ascii.substr(0, 2), ".A");
  EXPECT_LT(ascii.size(), 600u);
  EXPECT_LT(Cell(rows, 0, TrafficRowModel::Hex).size(), 3 * 600u);
  const auto line = rows.TraceLines({0});
  const auto parsed = ParseTraceLine(std::string_view(line).substr(0, line.size() - 1));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->bytes, block);
}

TEST(TrafficRows, CopiedRowsAreTraceLinesInRowOrder) {
  TrafficRowModel rows;
  rows.SetPort("COM3");
  for (int n = 0; n < 4; ++n) rows.AddBlock(TrafficDirection::Sent, NumberedBlock(n));
  rows.Flush();
  const std::string text = rows.TraceLines({3, 1, 3});
  const size_t end = text.find('\n');
  ASSERT_NE(end, std::string::npos);
  const auto first = ParseTraceLine(std::string_view(text).substr(0, end));
  const auto second = ParseTraceLine(std::string_view(text).substr(end + 1, text.size() - end - 2));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(*first, rows.RowAt(1));
  EXPECT_EQ(*second, rows.RowAt(3));
}

}  // namespace
}  // namespace quorvel
