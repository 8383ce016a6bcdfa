// A prompt for tests: records every message and question it was given and
// answers questions with `answer`.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/prompt.h"

namespace quorvel::test {

struct Shown {
  std::string text;
  std::string caption;
  uint32_t flags = 0;
  bool question = false;
  bool focusNo = false;
};

class RecordingPrompt final : public Prompt {
 public:
  bool MsgBox(const std::string& text, const std::string& caption, uint32_t flags) override {
    shown.push_back({text, caption, flags, false, false});
    return true;
  }
  bool AskYesNo(const std::string& text, const std::string& caption, uint32_t flags,
                bool focusNo) override {
    shown.push_back({text, caption, flags, true, focusNo});
    return answer;
  }
  int TextWidth(std::string_view text) const override {
    return width ? width(text) : Prompt::TextWidth(text);
  }
  // Wide enough that test paths are shown whole.
  int PathWidthLimit() const override { return 100000; }

  std::vector<Shown> shown;
  bool answer = false;
  std::function<int(std::string_view)> width;
};

}  // namespace quorvel::test
