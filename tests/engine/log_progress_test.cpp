// The run log's line and scroll-bar rules, the block prefixes' padding and
// the progress values.
#include <gtest/gtest.h>

#include "app/globals.h"
#include "app/text_utils.h"
#include "run/log_texts.h"
#include "run/progress_values.h"
#include "run/run_log.h"

namespace quorvel {
namespace {

class EnglishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Language;
    Language = 1;
  }
  void TearDown() override { Language = saved_; }
  uint8_t saved_ = 0;
};

using RunLogTest = EnglishTest;

TEST_F(RunLogTest, WritesOnlyDuringARunAndForKnownIndexes) {
  RunLog log;
  EXPECT_FALSE(log.AppendLog(false, kLogDate, "x"));
  EXPECT_FALSE(log.AppendLog(true, static_cast<int>(kLogTextCount), "x"));
  EXPECT_FALSE(log.AppendLog(true, -1, "x"));
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(log.AppendLog(true, kLogTimeout, ""));
  EXPECT_TRUE(log.AppendLog(true, kLogResult, "done"));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"- Timeout occured", "- Result: done"}));
  EXPECT_EQ(log.Text(), "- Timeout occured\r\n- Result: done");
}

TEST_F(RunLogTest, TenthLineSwitchesScrollBarsOnEvenWhenLinesFit) {
  RunLog log;
  log.SetMeasure([](std::string_view t) { return Utf8Length(t); }, 1000);
  for (int i = 0; i < 9; ++i) log.AppendLog(true, kLogDataSize, "1");
  EXPECT_FALSE(log.ScrollBars());
  log.AppendLog(true, kLogDataSize, "1");
  EXPECT_TRUE(log.ScrollBars());
  log.Clear();
  EXPECT_FALSE(log.ScrollBars());
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(RunLogTest, WideLineSwitchesScrollBarsOn) {
  RunLog log;
  log.SetMeasure([](std::string_view t) { return Utf8Length(t); }, 20);
  log.AppendLog(true, kLogDataSize, "1");  // "Data size: 1" fits
  EXPECT_FALSE(log.ScrollBars());
  log.AppendLog(true, kLogDataFile, "/a/rather/long/file/name.qvl");
  EXPECT_TRUE(log.ScrollBars());
}

// The block lines of a log without a measure line up by UTF-8 characters, in
// either language; the texts themselves stay plain.
TEST_F(RunLogTest, BlockPrefixesArePaddedToTheSameWidthInBothLanguages) {
  RunLog log;
  const auto write = [&log](int index) {
    log.AppendLog(true, index, "x");
    return log.Lines().back();
  };
  EXPECT_EQ(write(kLogSendingBlock), "- Sending data block: \tx");
  EXPECT_EQ(write(kLogWritingBlock), "- Writing data block: \tx");
  Language = 0;
  EXPECT_EQ(write(kLogSendingBlock), "- Przesyłanie bloku danych: \tx");
  EXPECT_EQ(write(kLogWritingBlock), "- Zapisanie bloku danych:   \tx");
  EXPECT_EQ(LogText(kLogWritingBlock), "- Zapisanie bloku danych: ");
  Language = 1;
  EXPECT_EQ(write(kLogWritingBlock), "- Writing data block: \tx");
  EXPECT_EQ(LogText(kLogSendingBlock), "- Sending data block: ");
  EXPECT_EQ(LogTexts()[kLogWritingBlock].en, "- Writing data block: ");
}

// Two runs' logs side by side, each measured for its own view: neither
// changes the other's padding.
TEST_F(RunLogTest, LogsWithDifferentMeasuresPadDifferentlyAtTheSameTime) {
  RunLog plain;
  RunLog wide;
  // In the second view "Sending" is three units wider than its characters.
  wide.SetMeasure(
      [](std::string_view t) { return Utf8Length(t) + (t.starts_with("- Sending") ? 3 : 0); },
      1000);
  for (int round = 0; round < 2; ++round) {
    plain.AppendLog(true, kLogWritingBlock, "1");
    wide.AppendLog(true, kLogWritingBlock, "1");
    plain.AppendLog(true, kLogSendingBlock, "2");
    wide.AppendLog(true, kLogSendingBlock, "2");
  }
  EXPECT_EQ(plain.Lines(),
            (std::vector<std::string>{"- Writing data block: \t1", "- Sending data block: \t2",
                                      "- Writing data block: \t1", "- Sending data block: \t2"}));
  EXPECT_EQ(wide.Lines(), (std::vector<std::string>{
                              "- Writing data block:    \t1", "- Sending data block: \t2",
                              "- Writing data block:    \t1", "- Sending data block: \t2"}));

  // A new measure pads anew.
  wide.SetMeasure([](std::string_view t) { return Utf8Length(t); }, 1000);
  wide.AppendLog(true, kLogWritingBlock, "3");
  EXPECT_EQ(wide.Lines().back(), "- Writing data block: \t3");
}

TEST_F(RunLogTest, WidthThatNeverGrowsDoesNotHangThePadding) {
  RunLog log;
  log.SetMeasure([](std::string_view t) { return t.starts_with("- Sending") ? 1 : 0; }, 1000);
  log.AppendLog(true, kLogWritingBlock, "x");
  const std::string& line = log.Lines().back();
  EXPECT_TRUE(line.starts_with("- Writing data block: ")) << line;
  EXPECT_TRUE(line.ends_with(" \tx")) << line;
  EXPECT_LE(line.size(), std::string("- Writing data block: \tx").size() + 256);
}

TEST(ProgressValuesTest, RoundsHalvesToEven) {
  struct Case {
    double value;
    int64_t rounded;
  } cases[] = {{12.5, 12}, {13.5, 14}, {0.5, 0}, {1.5, 2}, {2.4999, 2}, {2.5001, 3}, {7.0, 7}};
  for (const Case& c : cases) EXPECT_EQ(RoundHalfEven(c.value), c.rounded) << c.value;
}

TEST(ProgressValuesTest, PercentageOfWrittenBytes) {
  struct Case {
    uint32_t written;
    const char* label;
  } cases[] = {{125, "12%"}, {135, "14%"}, {0, "0%"}, {1000, "100%"}, {5, "0%"}, {995, "100%"}};
  for (const Case& c : cases) {
    ProgressValues p;
    p.SetFullWidth(200);
    p.SetMax(1000);
    p.SetWritten(c.written);
    EXPECT_EQ(p.Label(), c.label) << c.written;
  }
}

TEST(ProgressValuesTest, NothingIsDrawnBeforeTheMaximumThenBothBarsAtOnce) {
  ProgressValues p;
  p.SetFullWidth(200);
  p.SetSent(500);
  p.SetWritten(250);
  EXPECT_EQ(p.SentBarWidth(), 0);
  EXPECT_EQ(p.WrittenBarWidth(), 0);
  EXPECT_EQ(p.Label(), "0%");
  p.SetMax(1000);
  EXPECT_DOUBLE_EQ(p.Scale(), 0.2);
  EXPECT_EQ(p.SentBarWidth(), 100);
  EXPECT_EQ(p.WrittenBarWidth(), 50);
  EXPECT_EQ(p.Label(), "25%");
}

TEST(ProgressValuesTest, BarsNeverExceedTheFullWidthAndZeroMaximumIsHarmless) {
  ProgressValues p;
  p.SetFullWidth(150);
  p.SetMax(100);
  p.SetSent(400);
  EXPECT_EQ(p.SentBarWidth(), 150);
  p.SetMax(0);
  EXPECT_EQ(p.Scale(), 0);
  p.SetWritten(10);  // no redraw, no division by zero
  EXPECT_EQ(p.SentBarWidth(), 150);
}

}  // namespace
}  // namespace quorvel
