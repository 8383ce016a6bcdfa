// The end of a programming run as quorvel-cli reports it: the JSON report
// file (--report), the summary table of several instruments and the exit
// code of the whole command.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "run/run_engine.h"
#include "run/run_facts.h"

namespace quorvel {

// One instrument's run.
struct InstrumentResult {
  std::string port;
  std::string device;  // the device text of the chosen type
  // What the instrument reported (when its device information came: null in
  // the report otherwise) and how far the run got.
  RunFacts facts;
  RunCause cause = RunCause::NoConnection;
  int exitCode = 0;
  std::string message;  // the final message, "\n" line breaks
  // What the link knew of why it did not open beyond its status; empty when
  // nothing (null in the report).
  std::string linkProblem;
};

// The text as a JSON string, quotes included. Bytes that are not UTF-8
// become U+FFFD, so that the document stays valid whatever a name held.
std::string JsonString(std::string_view text);

// One JSON object per instrument; an array of them when there are several.
// Beside "port" (a JsonString), "port_bytes" holds the port's bytes in
// hexadecimal: the exact path also when it is not UTF-8.
std::string ReportJson(const std::vector<InstrumentResult>& results);

// The table printed after several instruments: port (as PrintableText),
// result, cause, bytes, time; one line each, columns lined up.
std::string SummaryTable(const std::vector<InstrumentResult>& results);

// How many instruments were programmed, found already current and failed
// (and, when there are any, how many were written without a confirmed
// restart), on one line without its line break.
std::string SummaryCounts(const std::vector<InstrumentResult>& results);

// The exit code of several runs: the most severe of theirs. A failure (1)
// outweighs an unconfirmed restart (3), which outweighs success (0); no runs
// at all are a failure.
int CombinedExitCode(const std::vector<int>& codes);

}  // namespace quorvel
