#include "run/run_timing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quorvel {
namespace {

// At most one sample per this many ms is kept: the window stays small however
// fast the blocks come.
constexpr int64_t kSampleSpacingMs = 100;

}  // namespace

RunTiming::RunTiming(Clock now) : now_(std::move(now)), begun_(now_()) {}

void RunTiming::Progress(uint32_t written, uint32_t total) {
  if (ended_) return;
  const int64_t at = now_();
  total_ = total;
  // The measure starts at the last moment before writing moves: the time
  // spent connecting and erasing is no part of the rate.
  if (samples_.empty() || (samples_.size() == 1 && written == samples_.front().written)) {
    samples_.assign(1, {at, written});
    written_ = written;
    return;
  }
  if (written < written_) {
    // The writing began again from the start: so does the measure.
    samples_.assign(1, {at, written});
    written_ = written;
    return;
  }
  written_ = written;
  if (written == samples_.back().written) return;
  if (samples_.size() >= 2 && at - samples_[samples_.size() - 2].at < kSampleSpacingMs) {
    samples_.back() = {at, written};
  } else {
    samples_.push_back({at, written});
  }
  // The oldest go once a later one still covers the window.
  while (samples_.size() > 2 && at - samples_[1].at >= kRateWindowMs) samples_.pop_front();
}

void RunTiming::End() {
  if (!ended_) ended_ = now_();
}

RunTimes RunTiming::Now() const {
  const int64_t now = ended_.value_or(now_());
  RunTimes times;
  times.written = written_;
  times.total = total_;
  times.elapsedMs = std::max<int64_t>(now - begun_, 0);
  if (total_ != 0 && written_ >= total_) times.leftMs = 0;
  if (samples_.size() < 2) return times;
  const Sample& first = samples_.front();
  // Up to now, not to the last block: a line that stalls slows the rate and
  // moves the end away, as it does.
  const int64_t span = now - first.at;
  const uint32_t moved = written_ - first.written;
  if (span < kLeastMeasureMs || moved == 0) return times;
  const double rate = moved * 1000.0 / static_cast<double>(span);
  times.bytesPerSecond = rate;
  if (!times.leftMs) {
    const uint32_t rest = total_ > written_ ? total_ - written_ : 0;
    times.leftMs = static_cast<int64_t>(std::ceil(rest * 1000.0 / rate));
  }
  return times;
}

std::string DurationText(int64_t ms, bool roundUp) {
  ms = std::max<int64_t>(ms, 0);
  const int64_t seconds = roundUp ? (ms + 999) / 1000 : ms / 1000;
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return text;
}

std::string RateText(double bytesPerSecond, char decimalSeparator) {
  char text[32];
  if (!(bytesPerSecond >= 0)) bytesPerSecond = 0;
  if (bytesPerSecond < 1000) {
    std::snprintf(text, sizeof text, "%.0f B/s", std::floor(bytesPerSecond));
  } else if (bytesPerSecond < 1e6) {
    std::snprintf(text, sizeof text, "%.1f kB/s", std::floor(bytesPerSecond / 100) / 10);
  } else {
    std::snprintf(text, sizeof text, "%.1f MB/s", std::floor(bytesPerSecond / 1e5) / 10);
  }
  std::string result(text);
  // printf writes the C locale's point.
  std::replace(result.begin(), result.end(), '.', decimalSeparator);
  return result;
}

}  // namespace quorvel
