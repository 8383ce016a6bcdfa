#include "run/run_log.h"

#include "app/globals.h"
#include "app/text_utils.h"
#include "run/log_texts.h"

namespace quorvel {
namespace {

// From this line on both scroll bars are shown, whatever the widths.
constexpr size_t kScrollBarLines = 10;

}  // namespace

void RunLog::SetMeasure(TextWidthFn lineWidth, int viewWidth) {
  lineWidth_ = std::move(lineWidth);
  viewWidth_ = viewWidth;
  prefixes_.reset();
}

const std::string& RunLog::Prefix(int index) {
  if (index != kLogSendingBlock && index != kLogWritingBlock) return LogText(index);
  if (!prefixes_ || prefixesLanguage_ != Language) {
    prefixes_ = PaddedBlockLogPrefixes(
        lineWidth_ ? lineWidth_ : [](std::string_view text) { return Utf8Length(text); });
    prefixesLanguage_ = Language;
  }
  return index == kLogSendingBlock ? prefixes_->sending : prefixes_->writing;
}

void RunLog::Clear() {
  lines_.clear();
  scrollBars_ = false;
  if (OnCleared) OnCleared();
}

bool RunLog::AppendLog(bool running, int index, std::string_view argument) {
  if (!running || index < 0 || index >= static_cast<int>(kLogTextCount)) return false;
  std::string line = Prefix(index);
  line += argument;
  if (!scrollBars_) {
    const size_t number = lines_.size() + 1;
    if (number >= kScrollBarLines || (lineWidth_ && lineWidth_(line) > viewWidth_)) {
      scrollBars_ = true;
    }
  }
  lines_.push_back(std::move(line));
  if (OnLineAdded) OnLineAdded(lines_.back());
  return true;
}

std::string RunLog::Text() const {
  std::string text;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += lines_[i];
  }
  return text;
}

}  // namespace quorvel
