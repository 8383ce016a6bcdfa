// A label that opens an address (web page, mail) through the desktop: blue
// under the pointer, a hand cursor, and Enter or Space when it has the focus.
#pragma once

#include <QLabel>
#include <QUrl>

namespace quorvel {

class LinkLabel final : public QLabel {
  Q_OBJECT
 public:
  LinkLabel(const QString& text, const QUrl& target, QWidget* parent);
  const QUrl& Target() const { return target_; }
  // True while the pointer is over it.
  bool Hovered() const { return hovered_; }

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QUrl target_;
  bool hovered_ = false;
  void ShowHover(bool on);
  void Open();
};

}  // namespace quorvel
