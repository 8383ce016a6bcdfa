// The progress window's times: the rate over the latest writing, the time
// left at that rate (hidden until it can be told, 0 at the end) and the
// elapsed time, on a clock the test moves.
#include "run/run_timing.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace quorvel {
namespace {

struct Step {
  int64_t at;
  uint32_t written;
};

struct TimingCase {
  const char* name;
  uint32_t total;
  std::vector<Step> steps;
  int64_t askAt;
  bool ended;
  int64_t elapsedMs;
  std::optional<double> rate;
  std::optional<int64_t> leftMs;
};

TEST(RunTiming, RateAndTimeLeftFromTheWritingSoFar) {
  const std::vector<TimingCase> cases = {
      {"nothing written yet", 10'000, {{0, 0}}, 5'000, false, 5'000, std::nullopt, std::nullopt},
      {"writing for less than a second",
       10'000,
       {{0, 0}, {400, 256}, {800, 512}},
       900,
       false,
       900,
       std::nullopt,
       std::nullopt},
      {"steady 1000 bytes a second",
       10'000,
       {{0, 0}, {1'000, 1'000}, {2'000, 2'000}, {4'000, 4'000}},
       4'000,
       false,
       4'000,
       1'000.0,
       6'000},
      // Connecting and erasing took 20 s: the rate counts from the first
      // block written.
      {"erase time is no part of the rate",
       10'000,
       {{0, 0}, {19'000, 0}, {20'000, 0}, {22'000, 2'000}},
       22'000,
       false,
       22'000,
       1'000.0,
       8'000},
      // Nothing more came for 2 s: the rate falls, the end moves away.
      {"a stalled line", 10'000, {{0, 0}, {2'000, 2'000}}, 4'000, false, 4'000, 500.0, 16'000},
      // Only the latest 8 s count: 100 B/s at first, then 1000 B/s.
      {"the latest writing counts",
       100'000,
       {{0, 0},
        {10'000, 1'000},
        {12'000, 3'000},
        {14'000, 5'000},
        {16'000, 7'000},
        {18'000, 9'000},
        {20'000, 11'000}},
       20'000,
       false,
       20'000,
       1'000.0,
       89'000},
      {"every byte written",
       4'000,
       {{0, 0}, {1'000, 2'000}, {2'000, 4'000}},
       2'000,
       false,
       2'000,
       2'000.0,
       0},
      {"before a second has passed, the end is 0 all the same",
       512,
       {{0, 0}, {300, 512}},
       300,
       false,
       300,
       std::nullopt,
       0},
      // The run ended: the time stops there and the time left stays 0.
      {"ended after the last byte",
       4'000,
       {{0, 0}, {1'000, 2'000}, {2'000, 4'000}},
       9'000,
       true,
       2'000,
       2'000.0,
       0},
      // A second pass writes from the start again: so the measure starts.
      {"writing begins again",
       10'000,
       {{0, 0}, {2'000, 4'000}, {3'000, 0}, {3'500, 500}},
       3'500,
       false,
       3'500,
       std::nullopt,
       std::nullopt},
      {"a run of no bytes", 0, {{0, 0}}, 3'000, false, 3'000, std::nullopt, std::nullopt},
  };
  for (const TimingCase& c : cases) {
    SCOPED_TRACE(c.name);
    int64_t clock = 0;
    RunTiming timing([&clock] { return clock; });
    for (const Step& step : c.steps) {
      clock = step.at;
      timing.Progress(step.written, c.total);
    }
    if (c.ended) timing.End();
    clock = c.askAt;
    const RunTimes times = timing.Now();
    EXPECT_EQ(times.total, c.total);
    EXPECT_EQ(times.written, c.steps.back().written);
    EXPECT_EQ(times.elapsedMs, c.elapsedMs);
    ASSERT_EQ(times.bytesPerSecond.has_value(), c.rate.has_value());
    if (c.rate) {
      EXPECT_NEAR(*times.bytesPerSecond, *c.rate, 0.5);
    }
    EXPECT_EQ(times.leftMs, c.leftMs);
  }
}

// Blocks every millisecond for minutes keep only the samples of the window.
TEST(RunTiming, ManySmallBlocksKeepTheEstimateSteady) {
  int64_t clock = 0;
  RunTiming timing([&clock] { return clock; });
  const uint32_t total = 1'000'000;
  timing.Progress(0, total);
  std::optional<int64_t> before;
  for (uint32_t written = 1; written <= 600'000; ++written) {
    clock = written;
    timing.Progress(written, total);
    if (written % 60'000 == 0) {
      const RunTimes times = timing.Now();
      ASSERT_TRUE(times.leftMs.has_value());
      EXPECT_NEAR(*times.bytesPerSecond, 1'000'000.0 / 1'000, 1.0);
      if (before) {
        EXPECT_LT(*times.leftMs, *before);
      }
      before = times.leftMs;
    }
  }
  EXPECT_EQ(before, 400'000);
}

TEST(RunTiming, Texts) {
  struct DurationCase {
    int64_t ms;
    bool roundUp;
    const char* text;
  };
  for (const DurationCase& c :
       {DurationCase{0, false, "0:00"}, DurationCase{999, false, "0:00"},
        DurationCase{1, true, "0:01"}, DurationCase{65'000, false, "1:05"},
        DurationCase{3'599'000, false, "59:59"}, DurationCase{3'725'000, false, "1:02:05"},
        DurationCase{-5, true, "0:00"}}) {
    EXPECT_EQ(DurationText(c.ms, c.roundUp), c.text) << c.ms;
  }
  struct RateCase {
    double rate;
    char separator;
    const char* text;
  };
  for (const RateCase& c : {RateCase{0, '.', "0 B/s"}, RateCase{999.9, '.', "999 B/s"},
                            RateCase{1'000, '.', "1.0 kB/s"}, RateCase{11'520, ',', "11,5 kB/s"},
                            RateCase{2'345'678, '.', "2.3 MB/s"}, RateCase{-1, '.', "0 B/s"}}) {
    EXPECT_EQ(RateText(c.rate, c.separator), c.text) << c.rate;
  }
}

}  // namespace
}  // namespace quorvel
