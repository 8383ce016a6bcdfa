// What quorvel-cli program shows while its runs go on: each run's log lines
// and messages on one stream (stdout), prefixed with the run's port when
// there are several runs, and on a terminal the progress of every run on the
// other stream (stderr), redrawn in place below the log.
//
// The progress of several runs is drawn at most every kDrawInterval and
// only where it changed (one run's bar follows every change), and a reader
// slower than that never holds up the runs (see ProgressStream): a terminal
// that cannot keep up shows fewer states.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "cli/progress_stream.h"
#include "run/progress_values.h"

namespace quorvel {

class RunConsole {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kDrawInterval{100};

  // How the progress is drawn.
  struct Drawing {
    // Draw the progress at all (the stream is a terminal).
    bool shown = false;
    // The log lines go to the same terminal: the progress is taken away
    // before each of them and comes back below them.
    bool linesOnSameTerminal = true;
    std::function<Clock::time_point()> now = Clock::now;
    // Arranges one call of DrawDue after the delay (the event loop's
    // timer); none: what is not drawn at once is drawn at the end.
    std::function<void(std::chrono::milliseconds delay)> callLater;
  };

  // One run per port.
  RunConsole(std::vector<std::string> ports, std::FILE* lines, std::FILE* progress,
             Drawing drawing);

  // The text's lines (split at '\n') as lines of the run, each with the
  // run's prefix, as PrintableText: a port's name may hold anything.
  void Line(size_t run, const std::string& text);
  // The run's progress changed.
  void Progress(size_t run, const ProgressValues& values);
  // The run's progress reached its end: its line stays as the values show it.
  void FinishProgress(size_t run, const ProgressValues& values);
  // No more progress: what is drawn stays on the terminal (the last state
  // drawn whole); lines written after it come below it.
  void EndProgress();
  // Draws what changed since the last drawing (the call callLater arranged).
  void DrawDue();

  // "[port] " with several runs (the port as PrintableText), nothing with
  // one.
  std::string Prefix(size_t run) const;

 private:
  bool Several() const { return ports_.size() > 1; }
  // Something to draw: now, or (several runs) once kDrawInterval has
  // passed since the last drawing.
  void Changed();
  // Arranges a call of DrawDue after the delay.
  void CallLater(Clock::duration delay);
  void Hide();
  // The bytes that bring the terminal from what it shows to rows_.
  std::string Frame();

  std::vector<std::string> ports_;
  std::FILE* lines_;
  ProgressStream progress_;
  Drawing drawing_;
  // One progress line per run; empty until the run's size is known.
  std::vector<std::string> rows_;
  // What the terminal shows (or will, once the stream took it) while shown_.
  std::vector<std::string> drawn_;
  std::vector<bool> rowFinished_;
  bool shown_ = false;
  bool ended_ = false;
  bool dirty_ = false;
  bool callArranged_ = false;
  Clock::time_point lastDrawn_{};
};

}  // namespace quorvel
