#include "window/file_combo_box.h"

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QStyleOptionComboBox>
#include <QStylePainter>

#include "datafile/utilities.h"
#include "dialogs/dialog_support.h"

namespace quorvel {
namespace {

constexpr int kTextMargin = 2;

}  // namespace

QString ShortenedPath(const QString& path, const QFontMetrics& metrics, int width) {
  const TextWidthFn textWidth = [&metrics](std::string_view text) {
    return metrics.horizontalAdvance(ToQString(text));
  };
  return ToQString(ShortenPath(path.toStdString(), textWidth, width));
}

void ShortPathDelegate::initStyleOption(QStyleOptionViewItem* option,
                                        const QModelIndex& index) const {
  QStyledItemDelegate::initStyleOption(option, index);
  const int width = option->rect.width() - 1 - 2 * kTextMargin;
  option->text = ShortenedPath(option->text, option->fontMetrics, width);
  // Shortened here, never elided again by the style.
  option->textElideMode = Qt::ElideNone;
}

FileComboBox::FileComboBox(QWidget* parent) : QComboBox(parent) {
  setItemDelegate(new ShortPathDelegate(this));
  view()->setTextElideMode(Qt::ElideNone);
}

int FileComboBox::TextWidth() const {
  QStyleOptionComboBox option;
  initStyleOption(&option);
  const QRect field =
      style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
  return field.width() - 1 - 2 * kTextMargin;
}

QString FileComboBox::ShownText() const {
  return ShortenedPath(currentText(), fontMetrics(), TextWidth());
}

void FileComboBox::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  QStyleOptionComboBox option;
  initStyleOption(&option);
  option.currentText = ShownText();
  painter.drawComplexControl(QStyle::CC_ComboBox, option);
  painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

}  // namespace quorvel
