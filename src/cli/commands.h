// The subcommands of quorvel-cli. Each returns the process exit code:
// 0 success, 1 failure, 2 bad arguments, 3 the image was written but the
// instrument did not confirm its restart.
#pragma once

#include <string>
#include <vector>

#include "app/cli_args.h"

namespace quorvel {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Whether the new firmware runs is not known: the user has to switch the
// instrument off and on and check it, which a script must not take for
// either success or an untouched instrument.
constexpr int kExitRestartNotConfirmed = 3;

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

// The first thing a call that may name --report does, with every argument
// it was given (also those after one that could not be parsed): a report
// path that names the same file as another argument is refused (kExitUsage)
// and nothing is touched; otherwise the files the reports would replace are
// removed, so that no report of an earlier call outlives this one however it
// ends. A report path that is no regular file, or whose folder cannot take
// one, is refused. kExitOk when the call goes on.
int ClaimReportFiles(const std::vector<CliArg>& arguments);

// Prints the one problem line and a pointer to --help (in the user's
// language) to stderr and returns kExitUsage.
int UsageProblem(const std::string& problem);
// UsageProblem of "Bad argument: <detail>".
int UsageError(const std::string& detail);
// UsageProblem of "Missing argument: <what>".
int MissingArgument(const std::string& what);

}  // namespace quorvel
