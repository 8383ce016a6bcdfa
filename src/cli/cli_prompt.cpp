#include "cli/cli_prompt.h"

#include <cstdio>

#include "app/globals.h"

namespace quorvel {

std::string TerminalText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

bool TerminalPrompt::MsgBox(const std::string& text, const std::string& caption, uint32_t) {
  std::fprintf(messages_, "%s: %s\n", caption.c_str(), TerminalText(text).c_str());
  std::fflush(messages_);
  return true;
}

bool TerminalPrompt::AskYesNo(const std::string& text, const std::string& caption, uint32_t, bool) {
  static constexpr TextPair kAnswerYes{"Odpowiedź: tak (--yes)", "Answer: yes (--yes)"};
  static constexpr TextPair kAnswerNo{"Odpowiedź: nie (bez --yes)", "Answer: no (no --yes)"};
  std::fprintf(stderr, "%s: %s\n%s\n", caption.c_str(), TerminalText(text).c_str(),
               (answerYes_ ? kAnswerYes : kAnswerNo).str().c_str());
  return answerYes_;
}

}  // namespace quorvel
