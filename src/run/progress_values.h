// The numbers behind the progress window: bytes of the run, bytes sent and
// acknowledged, the widths of the two bars and the percentage text. The
// window draws them; the command-line tool prints the percentage.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "run/run_host.h"

namespace quorvel {

// Nearest integer, halves to the even neighbour (12.5 gives 12, 13.5 gives 14).
int64_t RoundHalfEven(double value);

class ProgressValues {
 public:
  // Width of a full bar (the panel's inner width). Redraws.
  void SetFullWidth(int32_t width);

  // Total bytes of the run; redraws only when something was already sent
  // or written.
  void SetMax(uint32_t n);
  void SetSent(uint32_t n);
  void SetWritten(uint32_t n);

  uint32_t Max() const { return max_; }
  uint32_t Sent() const { return sent_; }
  uint32_t Written() const { return written_; }
  int32_t FullWidth() const { return fullWidth_; }
  double Scale() const { return scale_; }

  // What was drawn last: the bar of sent bytes, the bar of acknowledged
  // bytes and the label ("0%" until the first redraw).
  int32_t SentBarWidth() const { return sentBar_; }
  int32_t WrittenBarWidth() const { return writtenBar_; }
  const std::string& Label() const { return label_; }

  // Number of redraws so far (lets the window repaint only on change).
  uint32_t Redraws() const { return redraws_; }

 private:
  void Redraw();

  uint32_t max_ = 0;
  uint32_t sent_ = 0;
  uint32_t written_ = 0;
  int32_t fullWidth_ = 0;
  double scale_ = 0;
  int32_t sentBar_ = 0;
  int32_t writtenBar_ = 0;
  std::string label_ = "0%";
  uint32_t redraws_ = 0;
};

// A progress sink that keeps the values; the window and the command-line
// tool watch it through the callback.
class RunProgress : public ProgressSink {
 public:
  void SetMax(uint32_t n) override;
  uint32_t Max() const override { return values_.Max(); }
  void SetSent(uint32_t n) override;
  void SetWritten(uint32_t n) override;

  ProgressValues& Values() { return values_; }
  const ProgressValues& Values() const { return values_; }

  // After every change of the values.
  std::function<void()> OnChange;

 private:
  ProgressValues values_;
};

}  // namespace quorvel
