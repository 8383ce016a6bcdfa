#include "dialogs/widget_prompt.h"

#include <QApplication>
#include <QFontMetrics>

#include "app/globals.h"
#include "dialogs/confirmation_box.h"
#include "dialogs/dialog_support.h"

namespace quorvel {

WidgetPrompt::WidgetPrompt(QWidget* owner) : owner_(owner) {}

int WidgetPrompt::Show(const std::string& text, const std::string& caption, uint32_t flags,
                       ConfirmButtons buttons, bool focusNo) {
  ConfirmRequest request;
  request.text = QString::fromStdString(text);
  request.caption = QString::fromStdString(caption);
  request.flags = flags;
  request.buttons = buttons;
  request.focusNo = focusNo;
  return ShowConfirm(owner_, request, centerOverOwner_);
}

bool WidgetPrompt::MsgBox(const std::string& text, const std::string& caption, uint32_t flags) {
  return Show(text, caption, flags, ConfirmButtons::Message, false) == kConfirmYes;
}

bool WidgetPrompt::AskYesNo(const std::string& text, const std::string& caption, uint32_t flags,
                            bool focusNo) {
  return Show(text, caption, flags, ConfirmButtons::YesNo, focusNo) == kConfirmYes;
}

int WidgetPrompt::Confirm(const std::string& text, const std::string& caption, uint32_t flags,
                          bool allButtons, bool messageMode) {
  const ConfirmButtons buttons = allButtons    ? ConfirmButtons::All
                                 : messageMode ? ConfirmButtons::Message
                                               : ConfirmButtons::YesNo;
  return Show(text, caption, flags, buttons, false);
}

int WidgetPrompt::TextWidth(std::string_view text) const {
  return QFontMetrics(QApplication::font()).horizontalAdvance(ToQString(text));
}

int WidgetPrompt::PathWidthLimit() const {
  return WorkArea(owner_).width() / 2;
}

}  // namespace quorvel
