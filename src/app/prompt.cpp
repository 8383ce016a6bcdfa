#include "app/prompt.h"

#include <cstdio>

#include "app/text_utils.h"

namespace quorvel {
namespace {

// Messages on stderr, questions answered No: the safe default for a process
// that has no one to ask.
class StderrPrompt final : public Prompt {
 public:
  bool MsgBox(const std::string& text, const std::string& caption, uint32_t) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return true;
  }
  bool AskYesNo(const std::string& text, const std::string& caption, uint32_t, bool) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return false;
  }
};

StderrPrompt stderrPrompt;
Prompt* currentPrompt = &stderrPrompt;

}  // namespace

int Prompt::TextWidth(std::string_view text) const {
  return Utf8Length(text);
}

int Prompt::PathWidthLimit() const {
  return 60;
}

Prompt& CurrentPrompt() {
  return *currentPrompt;
}

void SetPrompt(Prompt* prompt) {
  currentPrompt = prompt != nullptr ? prompt : &stderrPrompt;
}

}  // namespace quorvel
