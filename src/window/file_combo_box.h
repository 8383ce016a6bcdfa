// The data file list: each full path shortened to the width it is drawn in
// (in the closed list and in the open one), "..." standing for the folders
// taken out, so that the file's own name always shows.
#pragma once

#include <QComboBox>
#include <QStyledItemDelegate>

namespace quorvel {

// A path shortened to `width` pixels of `metrics`.
QString ShortenedPath(const QString& path, const QFontMetrics& metrics, int width);

class ShortPathDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

class FileComboBox final : public QComboBox {
  Q_OBJECT
 public:
  explicit FileComboBox(QWidget* parent);
  // The text the closed list shows now.
  QString ShownText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int TextWidth() const;
};

}  // namespace quorvel
