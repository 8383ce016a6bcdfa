// The run log: the lines of one programming run, in the order written, and
// whether the log view shows its scroll bars. The window mirrors it in its
// log pane, the command-line tool prints each line as it comes.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "datafile/utilities.h"
#include "run/log_texts.h"

namespace quorvel {

class RunLog {
 public:
  // How wide a line is in the log view's font and how wide the view is, in
  // the same units. Without it no line counts as too wide. The block lines
  // (texts 16 and 17) are lined up with this measure; without one, by UTF-8
  // characters.
  void SetMeasure(TextWidthFn lineWidth, int viewWidth);

  // Empties the log and switches the scroll bars off (start of a run).
  void Clear();

  // Appends the log text of `index` (current language; texts 16 and 17 lined
  // up for this log's measure) followed by the argument, but only while a run
  // is in progress and for 0 <= index < kLogTextCount. True when a line was
  // added.
  bool AppendLog(bool running, int index, std::string_view argument);

  // Both scroll bars are on: from the tenth line, or from the first line
  // that is wider than the view.
  bool ScrollBars() const { return scrollBars_; }

  const std::vector<std::string>& Lines() const { return lines_; }

  // The lines joined with "\r\n" (the text a saved log file holds).
  std::string Text() const;

  // Called after a line was added and after the log was cleared.
  std::function<void(const std::string& line)> OnLineAdded;
  std::function<void()> OnCleared;

 private:
  std::vector<std::string> lines_;
  bool scrollBars_ = false;
  // The text a line of `index` starts with.
  const std::string& Prefix(int index);

  TextWidthFn lineWidth_;
  int viewWidth_ = 0;
  // The block prefixes lined up for lineWidth_, in the Language of
  // prefixesLanguage_; made when first needed.
  std::optional<BlockLogPrefixes> prefixes_;
  uint8_t prefixesLanguage_ = 0;
};

}  // namespace quorvel
