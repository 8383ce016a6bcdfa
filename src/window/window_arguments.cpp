#include "window/window_arguments.h"

#include <set>

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

bool ToolkitMayTake(const std::string& word) {
  // The options QGuiApplication and QApplication take out of the arguments,
  // which they accept with one dash or two.
  static const std::set<std::string> kToolkitOptions = {
      "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
      "qwindowicon", "qwindowtitle", "reverse", "session", "display", "geometry",
      "style", "stylesheet", "widgetcount", "nograb", "dograb", "sync", "qmljsdebugger"};
  if (word.rfind("--", 0) != 0) return false;
  const std::string name = word.substr(2, word.find('=') == std::string::npos
                                              ? std::string::npos
                                              : word.find('=') - 2);
  return kToolkitOptions.count(name) != 0;
}

}  // namespace quorvel
