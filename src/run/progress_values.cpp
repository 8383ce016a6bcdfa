#include "run/progress_values.h"

#include <algorithm>
#include <cmath>

namespace quorvel {

int64_t RoundHalfEven(double value) {
  const double down = std::floor(value);
  const double rest = value - down;
  auto whole = static_cast<int64_t>(down);
  if (rest > 0.5) return whole + 1;
  if (rest < 0.5) return whole;
  return (whole % 2 == 0) ? whole : whole + 1;
}

void ProgressValues::SetFullWidth(int32_t width) {
  fullWidth_ = std::max<int32_t>(width, 0);
  // A run of 0 bytes has no scale (no division by zero).
  scale_ = max_ == 0 ? 0.0 : static_cast<double>(fullWidth_) / max_;
  Redraw();
}

void ProgressValues::SetMax(uint32_t n) {
  max_ = n;
  scale_ = n == 0 ? 0.0 : static_cast<double>(fullWidth_) / n;
  if (sent_ != 0 || written_ != 0) Redraw();
}

void ProgressValues::SetSent(uint32_t n) {
  sent_ = n;
  Redraw();
}

void ProgressValues::SetWritten(uint32_t n) {
  written_ = n;
  Redraw();
}

void ProgressValues::Redraw() {
  if (max_ == 0 || scale_ == 0) return;
  auto barWidth = [this](uint32_t value) {
    return static_cast<int32_t>(std::min<int64_t>(RoundHalfEven(value * scale_), fullWidth_));
  };
  sentBar_ = barWidth(sent_);
  writtenBar_ = barWidth(written_);
  label_ = std::to_string(RoundHalfEven(static_cast<double>(written_) / max_ * 100)) + "%";
  ++redraws_;
}

void RunProgress::SetMax(uint32_t n) {
  values_.SetMax(n);
  if (OnChange) OnChange();
}

void RunProgress::SetSent(uint32_t n) {
  values_.SetSent(n);
  if (OnChange) OnChange();
}

void RunProgress::SetWritten(uint32_t n) {
  values_.SetWritten(n);
  if (OnChange) OnChange();
}

}  // namespace quorvel
