// A trace of the bytes on one or more instruments' lines as text, one block
// per line, that scripts can read and the monitor program opens:
//
//   # quorvel trace 1
//   <ms since the first block>\t<port>\t<sent|received>\t<hex bytes>\t<meaning>
//
// Times have three decimals; the port and the meaning are printable text
// (control characters as \xNN, so no tab or line break gets in); the bytes
// are two upper-case hex digits each, separated by blanks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run/traffic_decoder.h"

namespace quorvel {

constexpr std::string_view kTraceHeader = "# quorvel trace 1";
// The largest block a trace line may carry; longer ones are not trace lines.
constexpr size_t kTraceMaxBlock = 65536;

struct TraceRow {
  int64_t microseconds = 0;  // since the trace's first block
  std::string port;
  TrafficDirection direction = TrafficDirection::Sent;
  std::vector<uint8_t> bytes;
  std::string meaning;

  bool operator==(const TraceRow&) const = default;
};

// The row as one line, ended by "\n".
std::string FormatTraceLine(const TraceRow& row);

// Reads one line (without its line break) of a saved trace; nullopt for the
// header, comments and anything that is not a trace line.
std::optional<TraceRow> ParseTraceLine(std::string_view line);

}  // namespace quorvel
