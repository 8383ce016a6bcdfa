// quorvel-cli: the headless tool over the same core as the window, for
// scripts and production lines.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/text_utils.h"
#include "cli/cli_manual.h"
#include "cli/cli_prompt.h"
#include "cli/commands.h"

namespace quorvel {
namespace {

constexpr TextPair kBadArgument{"Błędny argument: ", "Bad argument: "};
constexpr TextPair kMissingArgument{"Brak argumentu: ", "Missing argument: "};
constexpr TextPair kMissingCommand{"Brak polecenia.", "No command given."};
constexpr TextPair kTryHelp{"Pomoc: 'quorvel-cli --help'.", "Try 'quorvel-cli --help'."};

constexpr TextPair kGivenTwice{" (podana więcej niż raz; tę opcję można podać tylko raz)",
                               " (given more than once; this option may be given once only)"};

struct Command {
  const char* name;
  std::set<std::string> valueOptions;
  std::set<std::string> flagOptions;
  // The options whose values add up; any other one is given at most once.
  std::set<std::string> repeatable;
  std::function<int(const CliContext&)> run;
};

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands{
      {"devices", {}, {"json"}, {}, DevicesCommand},
      {"info", {}, {"json"}, {}, InfoCommand},
      {"encode", {"device"}, {"yes"}, {}, EncodeCommand},
      {"ports", {"device"}, {"service", "json"}, {}, PortsCommand},
      {"program",
       {"device", "port", "ports-from", "report", "trace", "address", "baud", "parity", "data-bits",
        "stop-bits", "frame-gap", "skip-version"},
       {"service"},
       {"port", "ports-from"},
       ProgramCommand},
  };
  return commands;
}

// Every argument of the words, also those after one that could not be
// parsed: the parse goes on from the word after it.
std::vector<CliArg> EveryArgument(const std::vector<std::string>& words, const Command& command) {
  std::vector<CliArg> every;
  for (size_t from = 0; from < words.size();) {
    const CliArgs part =
        ParseCliArgs({words.begin() + static_cast<std::ptrdiff_t>(from), words.end()},
                     command.valueOptions, command.flagOptions);
    every.insert(every.end(), part.given.begin(), part.given.end());
    if (part.error.empty()) break;
    from += part.errorIndex + 1;
  }
  return every;
}

// The whole usage, asked for: on stdout.
int PrintUsage() {
  std::fputs(std::string(CliUsage()).c_str(), stdout);
  return kExitOk;
}

// "--help" among a command's options (before "--").
bool AsksForHelp(const std::vector<std::string>& words) {
  for (const std::string& word : words) {
    if (word == "--") return false;
    if (word == "--help") return true;
  }
  return false;
}

}  // namespace

int UsageProblem(const std::string& problem) {
  // The problem may quote what the user gave (a port's name, a path): each
  // of its lines as PrintableText.
  std::string shown;
  for (size_t start = 0; start <= problem.size();) {
    const size_t end = std::min(problem.find('\n', start), problem.size());
    shown += PrintableText(std::string_view(problem).substr(start, end - start)) + "\n";
    start = end + 1;
  }
  std::fprintf(stderr, "%s%s\n", shown.c_str(), kTryHelp.str().c_str());
  return kExitUsage;
}

int UsageError(const std::string& detail) {
  return UsageProblem(kBadArgument.str() + detail);
}

int MissingArgument(const std::string& what) {
  return UsageProblem(kMissingArgument.str() + what);
}

}  // namespace quorvel

int main(int argc, char** argv) {
  using namespace quorvel;
  Language = LanguageFromEnvironment();
  // A reader that went away (a pipe into "head") must not kill a run half-way:
  // writes to it fail quietly and the run goes on to its end.
  signal(SIGPIPE, SIG_IGN);
  if (argc < 2) return UsageProblem(kMissingCommand.str());
  const std::string name = argv[1];
  if (name == "--version") {
    std::printf("quorvel-cli %s\n", QUORVEL_VERSION);
    return kExitOk;
  }
  const std::vector<std::string> words(argv + 2, argv + argc);
  if (name == "--help" || name == "-h" || name == "help") return PrintUsage();
  for (const Command& command : Commands()) {
    if (name != command.name) continue;
    if (AsksForHelp(words)) return PrintUsage();
    CliContext context;
    context.args = ParseCliArgs(words, command.valueOptions, command.flagOptions);
    // Before any other check: a call that names a report leaves either its
    // own or none, whatever ends it.
    if (command.valueOptions.count("report") != 0) {
      const int refused = ClaimReportFiles(EveryArgument(words, command));
      if (refused != kExitOk) return refused;
    }
    if (!context.args.error.empty()) return UsageError(context.args.error);
    const std::string twice = RepeatedOption(context.args, command.repeatable);
    if (!twice.empty()) return UsageError(twice + kGivenTwice.str());
    context.argc = argc;
    context.argv = argv;
    TerminalPrompt prompt(context.args.Flag("yes"));
    SetPrompt(&prompt);
    const int code = command.run(context);
    SetPrompt(nullptr);
    return code;
  }
  return UsageError(name);
}
