// Messages and questions of the command-line tool: printed to stderr;
// questions are answered from the --yes flag.
#pragma once

#include <cstdio>

#include "app/prompt.h"

namespace quorvel {

class TerminalPrompt final : public Prompt {
 public:
  // Messages go to `messages` (stderr unless a command reports its result
  // there), questions always to stderr.
  explicit TerminalPrompt(bool answerYes, std::FILE* messages = stderr)
      : answerYes_(answerYes), messages_(messages) {}
  bool MsgBox(const std::string& text, const std::string& caption, uint32_t flags) override;
  bool AskYesNo(const std::string& text, const std::string& caption, uint32_t flags,
                bool focusNo) override;

 private:
  bool answerYes_;
  std::FILE* messages_;
};

// The text with "\r\n" line breaks turned into plain "\n".
std::string TerminalText(const std::string& text);

}  // namespace quorvel
