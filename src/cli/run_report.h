// The end of a programming run as quorvel-cli reports it: the JSON report
// file (--report), the summary table of several instruments and the exit
// code of the whole command.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

// One instrument's run.
struct InstrumentResult {
  std::string port;
  std::string device;  // the device text of the chosen type
  // What the instrument reported in its device information; not reported:
  // infoReported false (the report then has null there).
  bool infoReported = false;
  uint16_t serialPart1 = 0;
  uint16_t serialPart2 = 0;
  uint16_t deviceCode = 0;
  std::string bootVersion;
  uint32_t bytesWritten = 0;
  uint32_t bytesTotal = 0;
  uint32_t blocksSkipped = 0;
  int64_t durationMs = 0;
  std::string cause;  // RunCauseName
  int exitCode = 0;
  std::string message;  // the final message, "\n" line breaks
};

// The text as a JSON string, quotes included. Bytes that are not UTF-8
// become U+FFFD, so that the document stays valid whatever a name held.
std::string JsonString(std::string_view text);

// One JSON object per instrument; an array of them when there are several.
std::string ReportJson(const std::vector<InstrumentResult>& results);

// The table printed after several instruments: port, result, cause, bytes,
// time; one line each, columns lined up.
std::string SummaryTable(const std::vector<InstrumentResult>& results);

// The exit code of several runs: the most severe of theirs. A failure (1)
// outweighs an unconfirmed restart (3), which outweighs success (0); no runs
// at all are a failure.
int CombinedExitCode(const std::vector<int>& codes);

}  // namespace quorvel
