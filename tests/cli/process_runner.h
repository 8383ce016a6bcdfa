// Runs a program of this project as a child process and collects what it
// printed, for the command-line and end-to-end tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace quorvel::test {

struct ProcessResult {
  int exitCode = -1;  // -1 when it did not end in time (it is then killed)
  std::string out;
  std::string err;
};

// Called after every chunk the program printed, with its process id and
// everything it printed so far; returning false closes the reading end of
// its stdout (it then writes into a pipe that nobody reads).
using OutputWatch = std::function<bool(pid_t, const ProcessResult& sofar)>;

// Runs argv[0] with the arguments and extra environment entries ("NAME=value"),
// waiting at most `limit`. `started`, when given, gets the child's process id
// as soon as it runs (to signal it while it works).
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment = {},
                         std::chrono::milliseconds limit = std::chrono::seconds(60),
                         const std::function<void(pid_t)>& started = {},
                         const OutputWatch& watch = {});

// A program that keeps running while the test works with it.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv,
                    const std::vector<std::string>& environment = {});
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // The first line it printed on stdout (empty when it printed none in time).
  std::string FirstLine(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Sends SIGTERM and waits for the end; returns the exit code.
  int Stop();
  bool Running() const { return pid_ > 0; }

 private:
  int pid_ = -1;
  int outFd_ = -1;
};

}  // namespace quorvel::test
