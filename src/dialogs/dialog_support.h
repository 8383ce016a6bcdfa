// Small pieces every dialog of the window uses: a text pair in the program's
// language, the desktop work area and keeping a window inside it, a modal
// dialog's answer.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QRect>
#include <QString>
#include <cstdint>
#include <optional>

#include "app/globals.h"

class QWidget;

namespace quorvel {

inline QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The text of a pair in the program's Language.
inline QString Text(const TextPair& pair) {
  return ToQString(pair.text());
}

// The work area (the screen less panels and docks) of the screen the widget
// is on; the primary screen's for nullptr.
QRect WorkArea(const QWidget* widget);

// The rectangle moved, not resized, so that it lies inside the area: right
// and bottom edges first, then left and top, so that a rectangle larger
// than the area keeps its top-left corner visible.
QRect KeepInside(QRect rect, const QRect& area);

// A rectangle of the given size centred on the centre of another.
QRect CentredOn(const QRect& around, const QSize& size);

// The window's frame size, or its own size while the window system has not
// framed it yet.
QSize FrameSize(const QWidget* window);

// Shows a dialog made with new as a modal one and deletes it: the value read
// from it when it was accepted; none when it was cancelled, or when it went
// with its owner while it was open (the window closed).
template <typename Dialog, typename Value>
std::optional<Value> ExecForValue(Dialog* made, Value (Dialog::*value)() const) {
  QPointer<Dialog> dialog = made;
  const int result = dialog->exec();
  if (dialog == nullptr) return std::nullopt;
  std::optional<Value> chosen;
  if (result == QDialog::Accepted) chosen = (dialog->*value)();
  delete dialog;
  return chosen;
}

// Sizes a dialog to its contents and centres it over its owner's window (the
// work area when the owner is none or not shown), inside the work area.
void PlaceOverOwner(QWidget* dialog, const QWidget* owner);

}  // namespace quorvel
