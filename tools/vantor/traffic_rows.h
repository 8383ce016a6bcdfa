// The monitor's rows: one per block of bytes, in wire order, with the time
// since the first block, the direction, the bytes and their meaning.
//
// Blocks are decoded as they come (the decoder follows echoes and replies
// from one block to the next) but reach the view in batches, at most one
// per kBatchMs: a burst of blocks costs the view one update, not one per
// block, so the monitor keeps up with any run. At most maxRows rows holding
// at most maxBytes bytes of blocks are shown, and the blocks waiting for the
// next batch are held to the same bounds; the oldest go first. A block
// longer than a trace line can carry is shown as several rows. While paused, blocks are decoded (so that the
// rows after the pause still read right) and counted, but not kept.
#pragma once

#include <QAbstractTableModel>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "run/traffic_decoder.h"
#include "run/traffic_trace.h"

namespace quorvel {

class TrafficRowModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { Time, Port, Direction, Length, Hex, Ascii, Meaning, ColumnCount };
  static constexpr size_t kDefaultMaxRows = 100000;
  static constexpr size_t kDefaultMaxBytes = 32 * 1024 * 1024;
  static constexpr int kBatchMs = 50;
  // The hex and ASCII cells show this many bytes of a longer block (copy
  // and save carry all of them).
  static constexpr size_t kShownBytes = 512;
  using Clock = std::chrono::steady_clock;

  explicit TrafficRowModel(size_t maxRows = kDefaultMaxRows, size_t maxBytes = kDefaultMaxBytes,
                           QObject* parent = nullptr);

  // The port the live blocks travel on (DEVICE).
  void SetPort(std::string port);
  // A block seen on the line at `when`; in wire order.
  void AddBlock(TrafficDirection direction, std::span<const uint8_t> bytes,
                Clock::time_point when = Clock::now());
  // Rows of a saved trace in place of the rows shown, with their own times
  // and meanings.
  void ShowSaved(std::deque<TraceRow> rows);
  // Shows at once the blocks waiting for the next batch.
  void Flush();
  void Clear();

  void SetPaused(bool paused) { paused_ = paused; }
  bool Paused() const { return paused_; }
  size_t MaxRows() const { return maxRows_; }
  size_t MaxBytes() const { return maxBytes_; }
  uint64_t DroppedRows() const { return dropped_; }
  uint64_t SkippedWhilePaused() const { return skippedWhilePaused_; }

  const TraceRow& RowAt(int row) const { return rows_.at(static_cast<size_t>(row)); }
  // The rows given (in the order shown) as trace lines, without the header.
  std::string TraceLines(std::vector<int> rows) const;
  // Every row shown, as a whole trace file; a comment, when given, follows
  // the header as a "# " line.
  std::string TraceText(std::string_view comment = {}) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 signals:
  // A batch reached the rows (or the rows were cleared or replaced).
  void RowsChanged();

 private:
  void Keep(TraceRow row);
  // Whether rows holding `bytes` bytes are more than the bounds allow.
  bool OverBounds(size_t rows, size_t bytes) const { return rows > maxRows_ || bytes > maxBytes_; }
  QString TimeText(size_t row) const;

  const size_t maxRows_;
  const size_t maxBytes_;
  std::deque<TraceRow> rows_;
  size_t rowBytes_ = 0;
  std::deque<TraceRow> waiting_;
  size_t waitingBytes_ = 0;
  QTimer batch_;
  TrafficDecoder decoder_;
  std::string port_;
  std::optional<Clock::time_point> first_;
  bool paused_ = false;
  uint64_t dropped_ = 0;
  uint64_t skippedWhilePaused_ = 0;
};

}  // namespace quorvel
