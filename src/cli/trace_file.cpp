#include "cli/trace_file.h"

#include "run/traffic_trace.h"

namespace quorvel {

namespace {

constexpr size_t kWriteSize = 64 * 1024;

}  // namespace

TraceFile::TraceFile(const std::string& name, size_t portCount, std::optional<TDevAvailData> row)
    : file_(name), decoders_(portCount, TrafficDecoder(std::move(row))) {
  file_.Write(std::string(kTraceHeader) + "\n");
}

void TraceFile::Add(size_t index, const std::string& port, TrafficDirection direction,
                    std::span<const uint8_t> bytes) {
  if (!file_.Good() || index >= decoders_.size()) return;
  const auto now = std::chrono::steady_clock::now();
  if (!first_) first_ = now;
  TraceRow row;
  row.microseconds =
      std::chrono::duration_cast<std::chrono::microseconds>(now - *first_).count();
  row.port = port;
  row.direction = direction;
  row.bytes.assign(bytes.begin(), bytes.end());
  row.meaning = decoders_[index].Describe(direction, bytes);
  pending_ += FormatTraceLine(row);
  if (pending_.size() >= kWriteSize) WritePending();
}

void TraceFile::WritePending() {
  file_.Write(pending_);
  pending_.clear();
}

bool TraceFile::Finish() {
  WritePending();
  return file_.Commit();
}

}  // namespace quorvel
