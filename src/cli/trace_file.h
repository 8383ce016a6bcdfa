// quorvel-cli program --trace FILE: every block each run sends and every
// chunk it receives, with its meaning, in one text file (the trace format),
// one line per block with the port on it, in the order the program saw them
// across all ports and on one clock. One file rather than one per port: a
// call names one path, as for --report, and a script or the monitor program
// picks a port's lines by the port field.
//
// The trace replaces the file under its name only when the runs have ended
// (a temporary file beside it until then), so a trace that cannot be written
// never destroys the one that was there. A trace that fails does not change
// any run's outcome: it is said once, and the runs go on.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "datafile/file_checks.h"
#include "run/traffic_decoder.h"

namespace quorvel {

class TraceFile {
 public:
  // Starts the trace; Failure() tells when it could not be started.
  TraceFile(const std::string& name, size_t portCount, std::optional<TDevAvailData> row);

  // A block on port `index`'s line (its name: `port`).
  void Add(size_t index, const std::string& port, TrafficDirection direction,
           std::span<const uint8_t> bytes);
  // Puts the trace in place; false (Failure() says why) when it failed.
  bool Finish();

  bool Good() const { return file_.Good(); }
  const std::string& Failure() const { return file_.Failure(); }

 private:
  // Lines gathered for one write: a block is a few hundred bytes, a write
  // per block would be a system call per block.
  void WritePending();

  ReplacementFile file_;
  std::string pending_;
  // One decoder per port: a reply is read against its own port's command.
  std::vector<TrafficDecoder> decoders_;
  std::optional<std::chrono::steady_clock::time_point> first_;
};

}  // namespace quorvel
