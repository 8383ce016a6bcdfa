#include "vantor/trace_reader.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>

#include "vantor/monitor_window.h"

namespace quorvel {
namespace {

const std::string kGoodLine1 = "0.000\tCOM3\tsent\tB0 01\tconnect\n";
const std::string kGoodLine2 = "1.250\tCOM3\treceived\t80 01\tpositive reply\n";

struct TraceCase {
  const char* name;
  std::string text;
  size_t maxRows;
  size_t rows;
  size_t skipped;
  size_t dropped;
  bool fails;
};

void PrintTo(const TraceCase& c, std::ostream* out) {
  *out << c.name;
}

class TraceFileTest : public ::testing::TestWithParam<TraceCase> {
 protected:
  std::string Write(const std::string& text) {
    const std::string path = dir_.filePath("trace.txt").toStdString();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  QTemporaryDir dir_;
};

std::string Header() {
  return std::string(kTraceHeader) + "\n";
}

const TraceCase kCases[] = {
    {"Good", Header() + "# a comment\n" + kGoodLine1 + "\n" + kGoodLine2, 100, 2, 0, 0, false},
    {"WindowsLineEnds", Header() + "0.000\tCOM3\tsent\tB0 01\tconnect\r\n", 100, 1, 0, 0, false},
    {"LastLineWithoutBreak", Header() + kGoodLine1 + "2.000\tCOM3\tsent\tFF\tnoise", 100, 2, 0, 0,
     false},
    {"MalformedLinesAreCounted",
     Header() + kGoodLine1 + "garbage\n" + "1.0\tCOM3\tsent\tB0\tx\n" +
         "1.000\tCOM3\tsideways\tB0\tx\n" + "1.000\tCOM3\tsent\tB0 0\tx\n" + kGoodLine2,
     100, 2, 4, 0, false},
    {"HugeLineIsSkippedUnread",
     Header() + kGoodLine1 + "0.000\tCOM3\tsent\t" + std::string(kMaxTraceLineLength + 10, 'A') +
         "\n" + kGoodLine2,
     100, 2, 1, 0, false},
    {"HugeLastLineWithoutBreak", Header() + kGoodLine1 + std::string(kMaxTraceLineLength * 2, 'x'),
     100, 1, 1, 0, false},
    {"OnlyTheNewestRowsAreKept", Header() + kGoodLine1 + kGoodLine1 + kGoodLine1 + kGoodLine2, 2, 2,
     0, 2, false},
    {"NoHeader", kGoodLine1 + kGoodLine2, 100, 0, 0, 0, true},
    {"Empty", "", 100, 0, 0, 0, true},
    {"Binary", std::string("\0\x01\xFF\n\n", 5), 100, 0, 0, 0, true},
};

TEST_P(TraceFileTest, ReadsWhatItCanAndCountsTheRest) {
  const TraceCase& c = GetParam();
  const TraceFileContents contents = ReadTraceFile(Write(c.text), c.maxRows, 1 << 20);
  EXPECT_EQ(!contents.failure.empty(), c.fails) << contents.failure;
  EXPECT_EQ(contents.rows.size(), c.rows);
  EXPECT_EQ(contents.skippedLines, c.skipped);
  EXPECT_EQ(contents.droppedRows, c.dropped);
  if (c.rows > 0 && c.dropped == 0) {
    EXPECT_EQ(contents.rows.front(), *ParseTraceLine(kGoodLine1.substr(0, kGoodLine1.size() - 1)));
  }
  if (c.dropped > 0) {
    EXPECT_EQ(contents.rows.back().direction, TrafficDirection::Received);
  }
}

INSTANTIATE_TEST_SUITE_P(TraceFile, TraceFileTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TraceFile, KeepsTheNewestRowsWithinTheByteBound) {
  QTemporaryDir dir;
  const std::string path = dir.filePath("big.txt").toStdString();
  std::ofstream file(path);
  file << kTraceHeader << "\n";
  TraceRow row{0, "COM1", TrafficDirection::Sent, std::vector<uint8_t>(1000, 0x55), "noise"};
  for (int n = 0; n < 50; ++n) {
    row.microseconds = n * 1000;
    file << FormatTraceLine(row);
  }
  file.close();
  const TraceFileContents contents = ReadTraceFile(path, 100, 10500);
  ASSERT_EQ(contents.rows.size(), 10u);
  EXPECT_EQ(contents.droppedRows, 40u);
  EXPECT_EQ(contents.rows.back().microseconds, 49000);
}

TEST(TraceFile, MissingFileAndFolderFail) {
  QTemporaryDir dir;
  EXPECT_FALSE(ReadTraceFile(dir.filePath("none").toStdString(), 10, 1000).failure.empty());
  EXPECT_FALSE(ReadTraceFile(dir.path().toStdString(), 10, 1000).failure.empty());
}

// What the window saves, it opens again unchanged (times, ports, bytes,
// meanings), and a failed open leaves the rows as they were.
TEST(TraceFile, WindowSavesAndOpensTheSameRows) {
  QTemporaryDir dir;
  const std::string path = dir.filePath("saved.txt").toStdString();
  MonitorWindow window;
  window.SetDevice({1, "FT123456"});
  const auto start = TrafficRowModel::Clock::now();
  window.Rows().AddBlock(TrafficDirection::Sent, std::vector<uint8_t>{0xB0, 0x01}, start);
  window.Rows().AddBlock(TrafficDirection::Received, std::vector<uint8_t>{0xB0, 0x01, 0x80, 0x01},
                         start + std::chrono::microseconds(2345));
  std::string failure;
  ASSERT_TRUE(window.SaveTrace(path, &failure)) << failure;
  const std::vector<TraceRow> saved{window.Rows().RowAt(0), window.Rows().RowAt(1)};

  MonitorWindow reader;
  ASSERT_TRUE(reader.OpenTrace(path));
  ASSERT_EQ(reader.Rows().rowCount(), 2);
  EXPECT_EQ(reader.Rows().RowAt(0), saved[0]);
  EXPECT_EQ(reader.Rows().RowAt(1), saved[1]);
  EXPECT_EQ(reader.Rows().RowAt(1).port, "FT123456");
  EXPECT_TRUE(reader.Rows().Paused());

  EXPECT_FALSE(reader.OpenTrace(dir.filePath("missing.txt").toStdString(), &failure));
  EXPECT_NE(failure.find("missing.txt"), std::string::npos);
  EXPECT_EQ(reader.Rows().rowCount(), 2);
}

}  // namespace
}  // namespace quorvel
