// What quorvel-cli program shows while its runs go on: each run's log lines
// and messages on one stream (stdout), prefixed with the run's port when
// there are several runs, and on a terminal the progress of every run on the
// other stream (stderr), redrawn in place below the log.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "run/progress_values.h"

namespace quorvel {

class RunConsole {
 public:
  // One run per port. progressShown: draw the progress (the stream is a
  // terminal).
  RunConsole(std::vector<std::string> ports, std::FILE* lines, std::FILE* progress,
             bool progressShown);

  // The text's lines (split at '\n') as lines of the run, each with the
  // run's prefix.
  void Line(size_t run, const std::string& text);
  // The run's progress changed.
  void Progress(size_t run, const ProgressValues& values);
  // The run's progress reached its end: its line stays as the values show it.
  void FinishProgress(size_t run, const ProgressValues& values);
  // No more progress: what is drawn stays on the terminal; lines written
  // after it come below it.
  void EndProgress();

  // "[port] " with several runs, nothing with one.
  std::string Prefix(size_t run) const;

 private:
  void Hide();
  void Draw();

  std::vector<std::string> ports_;
  std::FILE* lines_;
  std::FILE* progress_;
  bool enabled_;
  // One progress line per run; empty until the run's size is known.
  std::vector<std::string> rows_;
  bool shown_ = false;
  bool ended_ = false;
  std::vector<bool> rowFinished_;
};

}  // namespace quorvel
