// The window's prompt: every message and question of the core shown in the
// confirmation box, in the program's Language, owned by the main window.
#pragma once

#include <QPointer>
#include <QWidget>

#include "app/prompt.h"
#include "dialogs/confirmation_box.h"

namespace quorvel {

class WidgetPrompt final : public Prompt {
 public:
  // owner: the window the boxes belong to (may be nullptr).
  explicit WidgetPrompt(QWidget* owner);

  // Boxes centre over the owner while on (the window turns it on once it is
  // up; a question asked for another window turns it off while it is shown).
  void SetCenterOverOwner(bool on) { centerOverOwner_ = on; }
  bool CenterOverOwner() const { return centerOverOwner_; }

  bool MsgBox(const std::string& text, const std::string& caption, uint32_t flags) override;
  bool AskYesNo(const std::string& text, const std::string& caption, uint32_t flags,
                bool focusNo) override;
  // A box with all six buttons, or a message, or a yes/no question; the
  // result code of the button that closed it.
  int Confirm(const std::string& text, const std::string& caption, uint32_t flags, bool allButtons,
              bool messageMode);

  // Pixels of the boxes' font.
  int TextWidth(std::string_view text) const override;
  // Half the width of the work area.
  int PathWidthLimit() const override;

 private:
  QPointer<QWidget> owner_;
  bool centerOverOwner_ = false;

  int Show(const std::string& text, const std::string& caption, uint32_t flags,
           ConfirmButtons buttons, bool focusNo);
};

}  // namespace quorvel
