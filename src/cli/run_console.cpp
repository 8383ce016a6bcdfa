#include "cli/run_console.h"

#include "app/text_utils.h"
#include "cli/progress_line.h"

namespace quorvel {

RunConsole::RunConsole(std::vector<std::string> ports, std::FILE* lines, std::FILE* progress,
                       Drawing drawing)
    : ports_(std::move(ports)),
      lines_(lines),
      progress_(progress),
      drawing_(std::move(drawing)),
      rows_(ports_.size()),
      drawn_(ports_.size()),
      rowFinished_(ports_.size(), false) {}

std::string RunConsole::Prefix(size_t run) const {
  return Several() ? "[" + PrintableText(ports_[run]) + "] " : std::string();
}

void RunConsole::Line(size_t run, const std::string& text) {
  if (drawing_.linesOnSameTerminal) Hide();  // drawn again below the new lines
  const std::string prefix = Prefix(run);
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    const std::string line = PrintableText(
        std::string_view(text).substr(start, end == std::string::npos ? end : end - start));
    std::fprintf(lines_, "%s%s\n", prefix.c_str(), line.c_str());
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::fflush(lines_);
  // One run: the bar comes back with the next change of its progress, as
  // it always has.
  if (Several() && drawing_.shown && !shown_) Changed();
}

void RunConsole::Progress(size_t run, const ProgressValues& values) {
  if (!drawing_.shown || ended_ || rowFinished_[run]) return;
  const std::string line = ProgressLine(values);
  if (line.empty() || Prefix(run) + line == rows_[run]) return;
  rows_[run] = Prefix(run) + line;
  Changed();
}

void RunConsole::FinishProgress(size_t run, const ProgressValues& values) {
  if (rowFinished_[run]) return;
  Progress(run, values);
  rowFinished_[run] = true;
  // One run leaves its bar as its last line showed it, the log goes on
  // below it.
  if (!Several()) EndProgress();
}

void RunConsole::EndProgress() {
  if (ended_) return;
  if (drawing_.shown) {
    // The last state whole, whatever the terminal skipped.
    if (dirty_ || (Several() && !shown_)) {
      const std::string frame = Frame();
      progress_.WriteAll(frame);
      if (!frame.empty()) shown_ = true;
    }
    if (shown_ && !Several()) progress_.WriteAll("\n");
    progress_.WriteAll({});
  }
  shown_ = false;
  ended_ = true;
}

void RunConsole::Changed() {
  dirty_ = true;
  if (callArranged_ || ended_) return;
  // One run's bar follows every change, as it always has: a line of its
  // own is no more than the log writes. Several runs' block waits for the
  // interval.
  const auto interval = Several() ? kDrawInterval : Clock::duration::zero();
  const auto wait = interval - (drawing_.now() - lastDrawn_);
  if (wait <= Clock::duration::zero()) {
    DrawDue();
  } else {
    CallLater(wait);
  }
}

void RunConsole::CallLater(Clock::duration delay) {
  if (!drawing_.callLater) return;
  callArranged_ = true;
  drawing_.callLater(std::chrono::ceil<std::chrono::milliseconds>(delay));
}

void RunConsole::DrawDue() {
  callArranged_ = false;
  if (!dirty_ || ended_) return;
  lastDrawn_ = drawing_.now();
  // A reader still busy with the last drawing is not offered another; the
  // next chance comes an interval later.
  if (!progress_.Ready()) {
    CallLater(kDrawInterval);
    return;
  }
  dirty_ = false;
  const std::string frame = Frame();
  progress_.Offer(frame);
  if (!frame.empty()) shown_ = true;
}

// One run: its bar on the current line, without a line break, so that the
// next log line overwrites it. Several runs: a block of one line per run
// with the cursor below it.
void RunConsole::Hide() {
  if (!shown_ || ended_) return;
  progress_.WriteAll(Several() ? "\033[" + std::to_string(rows_.size()) + "A\033[J" : "\r\033[K");
  shown_ = false;
  dirty_ = true;  // all of it is to be drawn again
}

std::string RunConsole::Frame() {
  std::string frame;
  if (!Several()) {
    if (!rows_[0].empty()) frame = "\r" + rows_[0] + "\033[K";
  } else if (!shown_) {
    for (size_t i = 0; i < rows_.size(); ++i) {
      frame += "\r" + (rows_[i].empty() ? Prefix(i) : rows_[i]) + "\033[K\n";
    }
  } else {
    // Only the rows that changed: up to the row, rewrite it, back below the
    // block.
    for (size_t i = 0; i < rows_.size(); ++i) {
      if (rows_[i] == drawn_[i]) continue;
      const std::string rowsUp = std::to_string(rows_.size() - i);
      frame += "\033[" + rowsUp + "A\r" + rows_[i] + "\033[K\033[" + rowsUp + "B\r";
    }
  }
  drawn_ = rows_;
  return frame;
}

}  // namespace quorvel
