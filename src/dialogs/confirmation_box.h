// The program's own message and question box: sized to its text, with the
// icon of the message-box flags, over its owner or centred on the desktop
// work area, closed by one of its buttons with that button's result code.
#pragma once

#include <QDialog>
#include <QString>
#include <array>
#include <cstdint>

class QLabel;
class QPushButton;

namespace quorvel {

// The buttons a box offers.
enum class ConfirmButtons : uint8_t {
  Message,  // "OK"
  YesNo,    // Yes, No
  All,      // Yes, No, Skip; Yes to all, No to all, Cancel
};

// Result codes: the button that closed the box.
constexpr int kConfirmYes = 1;  // also "OK" of a message
constexpr int kConfirmNo = 2;
constexpr int kConfirmSkip = 3;
constexpr int kConfirmYesToAll = 4;
constexpr int kConfirmNoToAll = 5;
constexpr int kConfirmCancel = 6;  // Cancel, Esc, or closed by the window frame

// Icon values of the flags (bits 4 to 7); 0 shows the question icon.
constexpr uint32_t kIconError = 0x10;
constexpr uint32_t kIconQuestion = 0x20;
constexpr uint32_t kIconMask = 0xF0;

struct ConfirmRequest {
  QString text;  // lines separated by "\n" or "\r\n"
  QString caption;
  uint32_t flags = 0;
  ConfirmButtons buttons = ConfirmButtons::Message;
  bool focusNo = false;  // the No button has the focus and comes first in the tab order
};

class ConfirmationBox final : public QDialog {
  Q_OBJECT
 public:
  // Button captions in the program's Language.
  ConfirmationBox(QWidget* owner, const ConfirmRequest& request);

  // Over the owner's window when centerOverOwner is on and the owner is shown
  // and not minimised, else centred on the work area; wholly inside the work
  // area either way.
  void Place(bool centerOverOwner);

  // The button standing for a result code, nullptr for an unknown code.
  QPushButton* Button(int code) const;
  QLabel* TextLabel() const { return text_; }
  QLabel* IconLabel() const { return icon_; }

  // Esc and the window frame's close button give the Cancel code.
  void reject() override;

  // Margin around the icon, and the gap between buttons.
  static constexpr int kMargin = 13;

 private:
  QWidget* owner_;
  QLabel* icon_;
  QLabel* text_;
  std::array<QPushButton*, 6> buttons_{};

  void LayOut(ConfirmButtons buttons);
};

// True when a box with these flags sounds the system beep: every icon but
// the question, which is silent.
bool ConfirmSounds(uint32_t flags);

// Shows a box modally, beeping for its icon, and returns its result code.
int ShowConfirm(QWidget* owner, const ConfirmRequest& request, bool centerOverOwner);

}  // namespace quorvel
