#include "dialogs/link_label.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>

namespace quorvel {

LinkLabel::LinkLabel(const QString& text, const QUrl& target, QWidget* parent)
    : QLabel(text, parent), target_(target) {
  setTextFormat(Qt::PlainText);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  setAccessibleName(text);
  setAccessibleDescription(target.toString());
}

void LinkLabel::ShowHover(bool on) {
  hovered_ = on;
  QPalette colours = palette();
  colours.setColor(QPalette::WindowText,
                   on ? QColor(Qt::blue) : parentWidget()->palette().color(QPalette::WindowText));
  setPalette(colours);
}

void LinkLabel::enterEvent(QEnterEvent* event) {
  ShowHover(true);
  QLabel::enterEvent(event);
}

void LinkLabel::leaveEvent(QEvent* event) {
  ShowHover(false);
  QLabel::leaveEvent(event);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) Open();
  QLabel::mouseReleaseEvent(event);
}

void LinkLabel::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
      event->key() == Qt::Key_Space) {
    Open();
    return;
  }
  QLabel::keyPressEvent(event);
}

void LinkLabel::Open() {
  QDesktopServices::openUrl(target_);
}

}  // namespace quorvel
