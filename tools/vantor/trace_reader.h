// Reads a saved trace (the trace format of quorvel-cli program --trace and
// of the monitor's own "save as text") without ever trusting the file: a
// line longer than any trace line can be is skipped unread, lines that are
// not trace lines are counted, and only the newest rows up to a bound are
// kept.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "run/traffic_trace.h"

namespace quorvel {

// A trace line holds at most kTraceMaxBlock bytes as "XX " and a meaning of
// a few lines of text; anything longer is not read into memory.
constexpr size_t kMaxTraceLineLength = 3 * kTraceMaxBlock + 64 * 1024;

struct TraceFileContents {
  std::deque<TraceRow> rows;  // the newest, at most maxRows holding maxBytes
  size_t skippedLines = 0;    // neither trace lines nor comments
  size_t droppedRows = 0;     // older rows beyond the bounds
  // Why the file could not be read at all, in the program's language;
  // empty when it was read.
  std::string failure;
};

TraceFileContents ReadTraceFile(const std::string& path, size_t maxRows, size_t maxBytes);

}  // namespace quorvel
