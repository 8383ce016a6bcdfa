#include "dialogs/dialog_support.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace quorvel {

QRect WorkArea(const QWidget* widget) {
  QScreen* screen = widget != nullptr ? widget->screen() : nullptr;
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  return screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 800, 600);
}

QRect KeepInside(QRect rect, const QRect& area) {
  if (rect.right() > area.right()) rect.moveRight(area.right());
  if (rect.bottom() > area.bottom()) rect.moveBottom(area.bottom());
  if (rect.left() < area.left()) rect.moveLeft(area.left());
  if (rect.top() < area.top()) rect.moveTop(area.top());
  return rect;
}

QRect CentredOn(const QRect& around, const QSize& size) {
  QRect rect(QPoint(0, 0), size);
  rect.moveCenter(around.center());
  return rect;
}

QSize FrameSize(const QWidget* window) {
  const QSize frame = window->frameGeometry().size();
  return frame.isValid() && frame.width() >= window->width() ? frame : window->size();
}

void PlaceOverOwner(QWidget* dialog, const QWidget* owner) {
  dialog->adjustSize();
  const QRect area = WorkArea(owner);
  const QWidget* ownerWindow = owner != nullptr ? owner->window() : nullptr;
  const QRect around =
      ownerWindow != nullptr && ownerWindow->isVisible() ? ownerWindow->frameGeometry() : area;
  dialog->move(KeepInside(CentredOn(around, FrameSize(dialog)), area).topLeft());
}

}  // namespace quorvel
