#include "vantor/traffic_rows.h"

#include <QBrush>
#include <QColor>
#include <algorithm>

#include "app/text_utils.h"
#include "vantor/vantor_texts.h"

namespace quorvel {

namespace {

using vantor_texts::FromStd;
using vantor_texts::Text;

QString Milliseconds(int64_t microseconds) {
  return QString::asprintf("%lld.%03lld", static_cast<long long>(microseconds / 1000),
                           static_cast<long long>(microseconds % 1000));
}

QString HexText(const std::vector<uint8_t>& bytes) {
  const size_t shown = std::min(bytes.size(), TrafficRowModel::kShownBytes);
  QString text;
  text.reserve(static_cast<qsizetype>(shown * 3 + 2));
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < shown; ++i) {
    if (i > 0) text += QLatin1Char(' ');
    text += QLatin1Char(kDigits[bytes[i] >> 4]);
    text += QLatin1Char(kDigits[bytes[i] & 0x0F]);
  }
  if (shown < bytes.size()) text += QStringLiteral(" …");
  return text;
}

QString AsciiText(const std::vector<uint8_t>& bytes) {
  const size_t shown = std::min(bytes.size(), TrafficRowModel::kShownBytes);
  QString text;
  text.reserve(static_cast<qsizetype>(shown + 1));
  for (size_t i = 0; i < shown; ++i) {
    const uint8_t byte = bytes[i];
    text += QLatin1Char(byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.');
  }
  if (shown < bytes.size()) text += QStringLiteral("…");
  return text;
}

// Sent rows blue, received rows green: pale backgrounds under dark text, so
// the text stays readable in either.
QColor Background(TrafficDirection direction) {
  return direction == TrafficDirection::Sent ? QColor(0xDD, 0xEB, 0xFF) : QColor(0xDF, 0xF5, 0xDF);
}
QColor Foreground(TrafficDirection direction) {
  return direction == TrafficDirection::Sent ? QColor(0x10, 0x2A, 0x6B) : QColor(0x10, 0x4D, 0x18);
}

}  // namespace

TrafficRowModel::TrafficRowModel(size_t maxRows, size_t maxBytes, QObject* parent)
    : QAbstractTableModel(parent),
      maxRows_(std::max<size_t>(maxRows, 1)),
      maxBytes_(std::max(maxBytes, kTraceMaxBlock)) {
  batch_.setSingleShot(true);
  batch_.setInterval(kBatchMs);
  connect(&batch_, &QTimer::timeout, this, &TrafficRowModel::Flush);
}

void TrafficRowModel::SetPort(std::string port) {
  port_ = std::move(port);
}

void TrafficRowModel::AddBlock(TrafficDirection direction, std::span<const uint8_t> bytes,
                               Clock::time_point when) {
  if (bytes.empty()) return;
  std::string meaning = decoder_.Describe(direction, bytes);
  if (paused_) {
    ++skippedWhilePaused_;
    // The count reaches the status line with the next batch.
    if (!batch_.isActive()) batch_.start();
    return;
  }
  if (!first_) first_ = when;
  const int64_t microseconds =
      std::chrono::duration_cast<std::chrono::microseconds>(when - *first_).count();
  // The meaning goes with the block's first row.
  for (size_t at = 0; at < bytes.size(); at += kTraceMaxBlock) {
    TraceRow row;
    row.microseconds = microseconds;
    row.port = port_;
    row.direction = direction;
    const auto piece = bytes.subspan(at, std::min(kTraceMaxBlock, bytes.size() - at));
    row.bytes.assign(piece.begin(), piece.end());
    if (at == 0) row.meaning = std::move(meaning);
    Keep(std::move(row));
  }
}

void TrafficRowModel::Keep(TraceRow row) {
  waitingBytes_ += row.bytes.size();
  waiting_.push_back(std::move(row));
  while (OverBounds(waiting_.size(), waitingBytes_)) {
    waitingBytes_ -= waiting_.front().bytes.size();
    waiting_.pop_front();
    ++dropped_;
  }
  if (!batch_.isActive()) batch_.start();
}

void TrafficRowModel::Flush() {
  batch_.stop();
  if (waiting_.empty()) {
    emit RowsChanged();
    return;
  }
  // The waiting rows are within the bounds: the oldest rows shown make room.
  size_t excess = 0;
  size_t bytesLeft = rowBytes_;
  while (excess < rows_.size() &&
         OverBounds(rows_.size() - excess + waiting_.size(), bytesLeft + waitingBytes_)) {
    bytesLeft -= rows_[excess].bytes.size();
    ++excess;
  }
  if (excess > 0) {
    beginRemoveRows({}, 0, static_cast<int>(excess) - 1);
    rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(excess));
    rowBytes_ = bytesLeft;
    endRemoveRows();
    dropped_ += excess;
  }
  const int from = static_cast<int>(rows_.size());
  beginInsertRows({}, from, from + static_cast<int>(waiting_.size()) - 1);
  for (TraceRow& row : waiting_) rows_.push_back(std::move(row));
  rowBytes_ += waitingBytes_;
  waiting_.clear();
  waitingBytes_ = 0;
  endInsertRows();
  emit RowsChanged();
}

void TrafficRowModel::ShowSaved(std::deque<TraceRow> rows) {
  Clear();
  size_t bytes = 0;
  for (const TraceRow& row : rows) bytes += row.bytes.size();
  while (OverBounds(rows.size(), bytes)) {
    bytes -= rows.front().bytes.size();
    rows.pop_front();
    ++dropped_;
  }
  beginResetModel();
  rows_ = std::move(rows);
  rowBytes_ = bytes;
  endResetModel();
  emit RowsChanged();
}

void TrafficRowModel::Clear() {
  batch_.stop();
  beginResetModel();
  rows_.clear();
  rows_.shrink_to_fit();
  waiting_.clear();
  rowBytes_ = 0;
  waitingBytes_ = 0;
  endResetModel();
  // The next block starts the clock again; the decoder keeps what was sent
  // last, so the reply that follows still reads right.
  first_.reset();
  dropped_ = 0;
  skippedWhilePaused_ = 0;
  emit RowsChanged();
}

std::string TrafficRowModel::TraceLines(std::vector<int> rows) const {
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  std::string text;
  for (int row : rows) {
    if (row >= 0 && static_cast<size_t>(row) < rows_.size()) text += FormatTraceLine(rows_[row]);
  }
  return text;
}

std::string TrafficRowModel::TraceText(std::string_view comment) const {
  std::string text(kTraceHeader);
  text += '\n';
  if (!comment.empty()) {
    text += "# ";
    text += PrintableText(comment);
    text += '\n';
  }
  for (const TraceRow& row : rows_) text += FormatTraceLine(row);
  return text;
}

int TrafficRowModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TrafficRowModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ColumnCount;
}

QString TrafficRowModel::TimeText(size_t row) const {
  QString text = Milliseconds(rows_[row].microseconds);
  if (row > 0) {
    text += QStringLiteral(" (+%1)").arg(
        Milliseconds(rows_[row].microseconds - rows_[row - 1].microseconds));
  }
  return text;
}

QVariant TrafficRowModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || static_cast<size_t>(index.row()) >= rows_.size()) return {};
  const size_t at = static_cast<size_t>(index.row());
  const TraceRow& row = rows_[at];
  switch (role) {
    case Qt::DisplayRole:
      switch (index.column()) {
        case Time: return TimeText(at);
        case Port: return FromStd(row.port);
        case Direction:
          return Text(row.direction == TrafficDirection::Sent ? vantor_texts::kSent
                                                              : vantor_texts::kReceived);
        case Length: return static_cast<qulonglong>(row.bytes.size());
        case Hex: return HexText(row.bytes);
        case Ascii: return AsciiText(row.bytes);
        case Meaning: return FromStd(row.meaning);
        default: return {};
      }
    case Qt::BackgroundRole: return QBrush(Background(row.direction));
    case Qt::ForegroundRole: return QBrush(Foreground(row.direction));
    case Qt::TextAlignmentRole:
      if (index.column() == Time || index.column() == Length) {
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
      }
      return {};
    default: return {};
  }
}

QVariant TrafficRowModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case Time: return Text(vantor_texts::kColumnTime);
    case Port: return Text(vantor_texts::kColumnPort);
    case Direction: return Text(vantor_texts::kColumnDirection);
    case Length: return Text(vantor_texts::kColumnLength);
    case Hex: return Text(vantor_texts::kColumnHex);
    case Ascii: return Text(vantor_texts::kColumnAscii);
    case Meaning: return Text(vantor_texts::kColumnMeaning);
    default: return {};
  }
}

}  // namespace quorvel
