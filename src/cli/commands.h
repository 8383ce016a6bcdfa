// The subcommands of quorvel-cli. Each returns the process exit code:
// 0 success, 1 failure, 2 bad arguments.
#pragma once

#include <string>
#include <vector>

#include "cli/cli_args.h"

namespace quorvel {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Everything a subcommand gets: its parsed arguments and the process's own
// argc/argv (for a Qt application object).
struct CliContext {
  CliArgs args;
  int argc = 0;
  char** argv = nullptr;
};

int DevicesCommand(const CliContext& context);
int InfoCommand(const CliContext& context);
int EncodeCommand(const CliContext& context);
int ProgramCommand(const CliContext& context);
int PortsCommand(const CliContext& context);

// Prints the usage text (in the user's language) to stderr and returns kExitUsage.
int UsageError(const std::string& detail);

}  // namespace quorvel
