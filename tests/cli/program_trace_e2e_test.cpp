// quorvel-cli program --trace: the bytes on each instrument's line with
// their meaning, in a file that reads back line by line.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "program_fixture.h"
#include "run/traffic_trace.h"

namespace quorvel::test {
namespace {

std::vector<TraceRow> ReadTrace(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, kTraceHeader);
  std::vector<TraceRow> rows;
  while (std::getline(in, line)) {
    const auto row = ParseTraceLine(line);
    EXPECT_TRUE(row.has_value()) << "not a trace line: " << line;
    if (row) rows.push_back(*row);
  }
  return rows;
}

// Through the user application into the bootloader, on a line that echoes
// every command: each block is named, replies against their own command.
TEST_F(ProgramEndToEnd, TraceNamesEveryBlockOnTheLine) {
  const std::string file = Encode("M-530");
  const std::string port =
      StartSim({"--device", "M-530", "--baud", "115200", "--mode", "app", "--echo"});
  const ProcessResult run = Program(
      {"--device", "M-530", "--port", port, "--baud", "115200", "--trace", Path("t.txt"), file});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  ExpectReceivedEqualsFile(file);

  const std::vector<TraceRow> rows = ReadTrace(Path("t.txt"));
  ASSERT_GT(rows.size(), 8u);
  EXPECT_EQ(rows.front().direction, TrafficDirection::Sent);
  std::vector<std::string> named;
  size_t writes = 0;
  size_t written = 0;
  int64_t previous = 0;
  for (const TraceRow& row : rows) {
    EXPECT_EQ(row.port, port);
    EXPECT_GE(row.microseconds, previous) << "times run forward";
    previous = row.microseconds;
    named.push_back(row.meaning);
    // Echoes and replies cut into chunks are parts, never noise.
    for (const char* wrong : {"noise", "unknown", "wrong"}) {
      EXPECT_EQ(row.meaning.find(wrong), std::string::npos) << row.meaning;
    }
    if (row.meaning.find("CRC correct") != std::string::npos) ++writes;
    if (row.meaning.find(" written") != std::string::npos) ++written;
  }
  for (const char* step : {"identify request", "enter-bootloader reply", "connect",
                           "read device information", "erase program memory, device no 1234/5678",
                           "reset"}) {
    EXPECT_NE(std::find(named.begin(), named.end(), step), named.end()) << step;
  }
  EXPECT_GT(writes, 0u);
  EXPECT_EQ(written, writes);
  EXPECT_TRUE(rows.back().meaning.ends_with("positive reply: reset")) << rows.back().meaning;
}

// A trace that cannot be written is said, and the run goes on to its own
// end; a trace may never replace the data file.
TEST_F(ProgramEndToEnd, TraceProblemsNeverChangeTheRun) {
  const std::string file = Encode("KV-310");
  const std::string port = StartSim({"--device", "KV-310", "--baud", "115200"});
  const ProcessResult nowhere =
      Program({"--device", "KV-310", "--port", port, "--baud", "115200", "--trace",
               Path("no/such/folder/t.txt"), file});
  EXPECT_EQ(nowhere.exitCode, 0) << nowhere.out << nowhere.err;
  EXPECT_NE(nowhere.err.find("Trace not written: " + Path("no/such/folder/t.txt") + ": "),
            std::string::npos)
      << nowhere.err;
  EXPECT_NE(nowhere.out.find("programming was successful."), std::string::npos);

  const std::string before = ReadAll(file);
  const ProcessResult onInput =
      Program({"--device", "KV-310", "--port", port, "--trace", file, file});
  EXPECT_EQ(onInput.exitCode, 2) << onInput.err;
  EXPECT_NE(onInput.err.find("--trace " + file + " (the same file as " + file + ")"),
            std::string::npos)
      << onInput.err;
  EXPECT_EQ(ReadAll(file), before);
}

}  // namespace
}  // namespace quorvel::test
