#include "dialogs/confirmation_box.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <algorithm>

#include "app/prompt.h"
#include "dialogs/dialog_support.h"

namespace quorvel {
namespace {

// Captions in result-code order (Yes .. Cancel).
constexpr std::array<TextPair, 6> kButtonCaptions{{{"Tak", "Yes"},
                                                   {"Nie", "No"},
                                                   {"Pomiń", "Skip"},
                                                   {"Tak na wszystkie", "Yes to all"},
                                                   {"Nie na wszystkie", "No to all"},
                                                   {"Anuluj", "Cancel"}}};
constexpr TextPair kOkCaption{"OK", "OK"};

// Design size of a button; a font that needs more gets more.
constexpr int kButtonWidth = 101;
constexpr int kButtonHeight = 22;

struct IconChoice {
  QStyle::StandardPixmap pixmap;
  TextPair name;
};

IconChoice IconFor(uint32_t flags) {
  switch (flags & kIconMask) {
    case kIconError:
      return {QStyle::SP_MessageBoxCritical, {"Błąd", "Error"}};
    case kIconWarning:
      return {QStyle::SP_MessageBoxWarning, {"Ostrzeżenie", "Warning"}};
    case kIconInformation:
      return {QStyle::SP_MessageBoxInformation, {"Informacja", "Information"}};
    default:
      return {QStyle::SP_MessageBoxQuestion, {"Pytanie", "Question"}};
  }
}

}  // namespace

bool ConfirmSounds(uint32_t flags) {
  return (flags & kIconMask) != kIconQuestion;
}

ConfirmationBox::ConfirmationBox(QWidget* owner, const ConfirmRequest& request)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint |
                         (owner == nullptr ? Qt::WindowStaysOnTopHint : Qt::WindowFlags())),
      owner_(owner) {
  setWindowTitle(request.caption);

  const IconChoice icon = IconFor(request.flags);
  const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
  icon_ = new QLabel(this);
  icon_->setPixmap(style()->standardIcon(icon.pixmap, nullptr, this).pixmap(iconSize, iconSize));
  icon_->setAccessibleName(Text(icon.name));

  text_ = new QLabel(this);
  // Plain text: an "&" in a message is shown as itself, never as a mnemonic.
  text_->setTextFormat(Qt::PlainText);
  text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QString text = request.text;
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text_->setText(text);
  text_->setAccessibleName(text);

  for (size_t i = 0; i < buttons_.size(); ++i) {
    const int code = static_cast<int>(i) + 1;
    const QString caption = code == kConfirmYes && request.buttons == ConfirmButtons::Message
                                ? Text(kOkCaption)
                                : Text(kButtonCaptions[i]);
    auto* button = new QPushButton(caption, this);
    button->setAccessibleName(caption);
    connect(button, &QPushButton::clicked, this, [this, code] { done(code); });
    buttons_[i] = button;
  }
  setResult(kConfirmCancel);
  LayOut(request.buttons);

  QPushButton* focused = Button(
      request.focusNo && request.buttons != ConfirmButtons::Message ? kConfirmNo : kConfirmYes);
  if (focused == Button(kConfirmNo)) setTabOrder(focused, Button(kConfirmYes));
  focused->setDefault(true);
  focused->setFocus();
}

QPushButton* ConfirmationBox::Button(int code) const {
  return code >= 1 && code <= static_cast<int>(buttons_.size()) ? buttons_[code - 1] : nullptr;
}

void ConfirmationBox::reject() {
  done(kConfirmCancel);
}

void ConfirmationBox::LayOut(ConfirmButtons mode) {
  const bool all = mode == ConfirmButtons::All;
  const bool message = mode == ConfirmButtons::Message;
  Button(kConfirmNo)->setVisible(!message);
  Button(kConfirmSkip)->setVisible(all);
  Button(kConfirmYesToAll)->setVisible(all);
  Button(kConfirmNoToAll)->setVisible(all);
  Button(kConfirmCancel)->setVisible(all);

  // Every button as wide and as high as the widest and highest caption needs.
  QSize button(kButtonWidth, kButtonHeight);
  for (QPushButton* b : buttons_) {
    if (b->isVisibleTo(this)) button = button.expandedTo(b->sizeHint());
  }

  const QSize iconSize = icon_->sizeHint();
  icon_->setGeometry(QRect(QPoint(kMargin, kMargin), iconSize));

  // The text as wide as its widest line (an auto-sized label), but never
  // wider than the work area leaves room for: a longer line wraps.
  const int textLeft = kMargin + iconSize.width() + 7;
  const int widest = std::max(200, WorkArea(owner_).width() - textLeft - kMargin -
                                       2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth));
  QSize text = text_->sizeHint();
  if (text.width() > widest) {
    text_->setWordWrap(true);
    text = QSize(widest, text_->heightForWidth(widest));
  }
  int textTop = kMargin;
  if (iconSize.height() > text.height()) textTop += (iconSize.height() - text.height()) / 2;
  text_->setGeometry(QRect(QPoint(textLeft, textTop), text));

  // First row: Yes, No, Skip; second row: Yes to all, No to all, Cancel.
  const int rowTop =
      std::max(textTop + text.height() + textTop * 3 / 2, 2 * kMargin + iconSize.height());
  const int secondTop = rowTop + button.height() + kMargin / 2;
  const int columns = message ? 1 : (all ? 3 : 2);
  const int rowRight = kMargin + columns * button.width() + (columns - 1) * kMargin;
  const int textRight = textLeft + text.width();
  int clientWidth = rowRight + kMargin;
  int shift = 0;
  if (rowRight <= textRight) {
    clientWidth = textRight + kMargin;
    shift = (clientWidth - kMargin - rowRight) / 2;  // the rows centred under the text
  }
  if (message) shift = (clientWidth - button.width()) / 2 - kMargin;
  for (int i = 0; i < 6; ++i) {
    const int column = i % 3;
    const int top = i < 3 ? rowTop : secondTop;
    buttons_[i]->setGeometry(
        QRect(QPoint(kMargin + shift + column * (button.width() + kMargin), top), button));
  }
  const int lowest = all ? secondTop + button.height() : rowTop + button.height();
  setFixedSize(clientWidth, lowest + textTop / 2);
}

void ConfirmationBox::Place(bool centerOverOwner) {
  const QRect area = WorkArea(owner_);
  const QWidget* ownerWindow = owner_ != nullptr ? owner_->window() : nullptr;
  const bool overOwner = centerOverOwner && ownerWindow != nullptr && ownerWindow->isVisible() &&
                         !ownerWindow->isMinimized();
  // Centred on the owner's centre even when the box is the larger of the two.
  const QRect around = overOwner ? ownerWindow->frameGeometry() : area;
  const QRect frame = KeepInside(CentredOn(around, FrameSize(this)), area);
  move(frame.topLeft());
}

int ShowConfirm(QWidget* owner, const ConfirmRequest& request, bool centerOverOwner) {
  QPointer<ConfirmationBox> box = new ConfirmationBox(owner, request);
  box->Place(centerOverOwner);
  if (ConfirmSounds(request.flags)) QApplication::beep();
  const int code = box->exec();
  // The owner may have gone, and taken the box with it, while the box was up.
  if (box == nullptr) return kConfirmCancel;
  delete box;
  return code;
}

}  // namespace quorvel
