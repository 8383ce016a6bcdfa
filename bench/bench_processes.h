// What the benchmarks that drive quorvel-cli against quorvel-sim share:
// starting a program with its standard output in a file, waiting for it, and
// the baud ordinal of a rate.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdint>
#include <string>
#include <vector>

#include "run/line_settings.h"

extern char** environ;

namespace quorvel::bench {

// Starts args[0] with args; its standard output goes to stdoutPath. -1 when
// it could not be started.
inline pid_t Spawn(std::vector<std::string> args, const std::string& stdoutPath) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// The exit code of a program started by Spawn; -1 when it did not exit.
inline int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The ordinal of a baud rate, or `otherwise` for a rate the list lacks.
inline uint8_t BaudOrdinal(uint32_t baud, uint8_t otherwise) {
  for (uint8_t i = 0; i < kBaudRateCount; ++i) {
    if (BaudRateValue(i) == baud) return i;
  }
  return otherwise;
}

}  // namespace quorvel::bench
