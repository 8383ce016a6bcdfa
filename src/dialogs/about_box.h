// The About box: program name, version, purpose and the publisher's data of
// the edition, in the program's Language; in the maker's edition over a
// watermark of the logo.
#pragma once

#include <QDialog>
#include <QImage>

class QLabel;
class QPushButton;

namespace quorvel {

class LinkLabel;
class WatermarkPanel;

// True when the keys held show the build line: Shift and Ctrl together.
bool ShowsBuildLine(Qt::KeyboardModifiers held);

class AboutBox final : public QDialog {
  Q_OBJECT
 public:
  // held: the modifier keys held when the box was asked for.
  AboutBox(QWidget* owner, Qt::KeyboardModifiers held);

  // The labels in their stacking order: ProductName, Wersja, Opis,
  // Producent, Adres, TelFax; then the two links and the build line.
  QLabel* ProductName() const { return productName_; }
  QLabel* BuildLine() const { return buildLine_; }
  LinkLabel* WebLink() const { return web_; }
  LinkLabel* MailLink() const { return mail_; }
  QPushButton* OkButton() const { return ok_; }
  // The tile drawn behind the labels; null in the distributor's edition.
  QImage Watermark() const;

 protected:
  void changeEvent(QEvent* event) override;

 private:
  WatermarkPanel* panel_;
  QLabel* productName_;
  QLabel* buildLine_;
  LinkLabel* web_;
  LinkLabel* mail_;
  QPushButton* ok_;

  void RebuildWatermark();
};

// The watermark tile: the logo mask in the window colour darkened by 8 in
// each of red, green and blue, on a transparent ground.
QImage BuildWatermark(const QColor& window);

// Shows the About box modally over the owner.
void ShowAbout(QWidget* owner);

}  // namespace quorvel
