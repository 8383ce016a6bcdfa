// The time a run takes, for the progress window: the time elapsed since the
// run began, the rate at which the image is written and the time left at
// that rate. The clock is given (milliseconds on a steady clock), so that
// the rules are tested without waiting.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

namespace quorvel {

struct RunTimes {
  uint32_t written = 0;
  uint32_t total = 0;
  int64_t elapsedMs = 0;
  // Bytes a second over the last few seconds of writing; none until it can
  // be told.
  std::optional<double> bytesPerSecond;
  // None until it can be estimated; 0 once every byte is written.
  std::optional<int64_t> leftMs;
};

class RunTiming {
 public:
  using Clock = std::function<int64_t()>;

  // The rate is measured over this much of the latest writing.
  static constexpr int64_t kRateWindowMs = 8'000;
  // Nor is it told before writing has gone on this long.
  static constexpr int64_t kLeastMeasureMs = 1'000;

  // now: milliseconds on a steady clock. The run begins here.
  explicit RunTiming(Clock now);

  // The bytes written of the total, as the progress shows them.
  void Progress(uint32_t written, uint32_t total);
  // The run ended: the elapsed time stops.
  void End();

  RunTimes Now() const;

 private:
  struct Sample {
    int64_t at;
    uint32_t written;
  };

  Clock now_;
  int64_t begun_;
  std::optional<int64_t> ended_;
  uint32_t written_ = 0;
  uint32_t total_ = 0;
  // The writing of the rate window, oldest first; the first entry is where
  // the measure starts.
  std::deque<Sample> samples_;
};

// "1:05" (minutes and seconds) or "1:02:05" from an hour on; whole seconds,
// rounded up for a time left so that it shows 0:00 only at the end.
std::string DurationText(int64_t ms, bool roundUp);
// Bytes a second as "850 B/s", "12.4 kB/s" or "1.2 MB/s" (1000 each), with
// the decimal separator given.
std::string RateText(double bytesPerSecond, char decimalSeparator);

}  // namespace quorvel
