// The one way the Qt-free core shows a message or asks a question. The window
// implements it with its confirmation box, the command-line tool prints to
// stderr and answers from a flag, the tests record what was asked.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel {

// Icon values of a message (message-box style flags; only the icon matters).
constexpr uint32_t kIconWarning = 0x30;
constexpr uint32_t kIconInformation = 0x40;

class Prompt {
 public:
  virtual ~Prompt() = default;

  // A message with an OK button; true when it was closed with OK.
  virtual bool MsgBox(const std::string& text, const std::string& caption, uint32_t flags) = 0;

  // A Yes/No question; true for Yes. focusNo: the No button has the focus.
  virtual bool AskYesNo(const std::string& text, const std::string& caption, uint32_t flags,
                        bool focusNo) = 0;

  // Width of a text in the font the messages are shown in (the window: pixels
  // of its font; a terminal: characters).
  virtual int TextWidth(std::string_view text) const;

  // Widest path a message shows before ShortenPath cuts it, in TextWidth units
  // (the window: half the width of the desktop work area).
  virtual int PathWidthLimit() const;
};

// Shows nothing and answers No: for callers that report a failure in a form
// of their own, and for fuzzing.
class SilentPrompt final : public Prompt {
 public:
  bool MsgBox(const std::string&, const std::string&, uint32_t) override { return true; }
  bool AskYesNo(const std::string&, const std::string&, uint32_t, bool) override { return false; }
};

// The prompt every core routine uses; never null. Until one is set, messages
// go to stderr and questions are answered No.
Prompt& CurrentPrompt();

// Installs a prompt (not owned); nullptr restores the stderr prompt.
void SetPrompt(Prompt* prompt);

}  // namespace quorvel
