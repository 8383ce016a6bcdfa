#include "window/window_arguments.h"

#include "app/cli_args.h"

namespace quorvel {

WindowArguments ParseWindowArguments(const std::vector<std::string>& words) {
  WindowArguments call;
  const CliArgs args = ParseCliArgs(words, {}, {"help", "version"});
  // Asked for help before the end of the options, it is help, whatever
  // else the words hold.
  for (const CliArg& arg : args.given) {
    if (arg.kind == CliArg::Kind::EndOfOptions) break;
    if (arg.Word() == "--help" || (arg.kind == CliArg::Kind::Positional && arg.value == "-h")) {
      call.ask = WindowArguments::Ask::Help;
      return call;
    }
  }
  if (!args.error.empty()) {
    call.ask = WindowArguments::Ask::Problem;
    call.problem = args.errorWord;
    return call;
  }
  if (args.Flag("version")) {
    call.ask = WindowArguments::Ask::Version;
    return call;
  }
  call.files = args.positionals;
  return call;
}

}  // namespace quorvel
