#include "cli/run_console.h"

#include "cli/progress_line.h"

namespace quorvel {

RunConsole::RunConsole(std::vector<std::string> ports, std::FILE* lines, std::FILE* progress,
                       bool progressShown)
    : ports_(std::move(ports)),
      lines_(lines),
      progress_(progress),
      enabled_(progressShown),
      rows_(ports_.size()),
      rowFinished_(ports_.size(), false) {}

std::string RunConsole::Prefix(size_t run) const {
  return ports_.size() > 1 ? "[" + ports_[run] + "] " : std::string();
}

void RunConsole::Line(size_t run, const std::string& text) {
  Hide();  // drawn again below the new lines
  const std::string prefix = Prefix(run);
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    std::fprintf(
        lines_, "%s%s\n", prefix.c_str(),
        text.substr(start, end == std::string::npos ? std::string::npos : end - start).c_str());
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::fflush(lines_);
  // One run: the bar comes back with the next change of its progress, as
  // it always has.
  if (ports_.size() > 1) Draw();
}

void RunConsole::Progress(size_t run, const ProgressValues& values) {
  if (!enabled_ || ended_ || rowFinished_[run]) return;
  const std::string line = ProgressLine(values);
  if (line.empty()) return;
  rows_[run] = Prefix(run) + line;
  Draw();
}

void RunConsole::FinishProgress(size_t run, const ProgressValues& values) {
  if (rowFinished_[run]) return;
  Progress(run, values);
  rowFinished_[run] = true;
  // One run leaves its bar as its last line showed it, the log goes on
  // below it.
  if (ports_.size() == 1) EndProgress();
}

void RunConsole::EndProgress() {
  if (ended_) return;
  if (enabled_ && shown_ && ports_.size() == 1) std::fputc('\n', progress_);
  if (enabled_ && !shown_ && ports_.size() > 1) Draw();
  std::fflush(progress_);
  shown_ = false;
  ended_ = true;
}

// One run: its bar on the current line, without a line break, so that the
// next log line overwrites it. Several runs: a block of one line per run
// with the cursor below it.
void RunConsole::Hide() {
  if (!shown_ || ended_) return;
  if (ports_.size() == 1) {
    std::fputs("\r\033[K", progress_);
  } else {
    std::fprintf(progress_, "\033[%zuA\033[J", rows_.size());
  }
  std::fflush(progress_);
  shown_ = false;
}

void RunConsole::Draw() {
  if (!enabled_ || ended_) return;
  if (ports_.size() == 1) {
    if (rows_[0].empty()) return;
    std::fprintf(progress_, "\r%s\033[K", rows_[0].c_str());
  } else {
    if (shown_) std::fprintf(progress_, "\033[%zuA", rows_.size());
    for (size_t i = 0; i < rows_.size(); ++i) {
      const std::string& row = rows_[i].empty() ? Prefix(i) : rows_[i];
      std::fprintf(progress_, "\r%s\033[K\n", row.c_str());
    }
  }
  std::fflush(progress_);
  shown_ = true;
}

}  // namespace quorvel
