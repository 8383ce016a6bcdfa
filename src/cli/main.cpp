// quorvel-cli: the headless tool over the same core as the window, for
// scripts and production lines.
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/globals.h"
#include "cli/cli_prompt.h"
#include "cli/commands.h"

namespace quorvel {
namespace {

constexpr TextPair kUsage{
    "Użycie:\n"
    "  quorvel-cli devices\n"
    "      typy urządzeń: nazwa, łącze, domyślne ustawienia portu\n"
    "  quorvel-cli info PLIK\n"
    "      nagłówek pliku danych (.qvl lub Intel HEX)\n"
    "  quorvel-cli encode --device TYP [--yes] PLIK_HEX PLIK_WYJŚCIOWY\n"
    "      zakodowanie pliku Intel HEX do pliku .qvl dla typu urządzenia\n"
    "  quorvel-cli ports\n"
    "      porty szeregowe (jak na liście portów okna)\n"
    "  quorvel-cli program --device TYP --port PORT [--address N] [--baud PRĘDKOŚĆ]\n"
    "                      [--parity none|odd|even|mark|space] [--data-bits N]\n"
    "                      [--stop-bits 1|1.5|2] PLIK\n"
    "      zaprogramowanie urządzenia plikiem danych (.qvl lub Intel HEX);\n"
    "      PORT to nazwa z listy portów lub ścieżka urządzenia; Ctrl-C przerywa\n"
    "Opcja --yes odpowiada \"tak\" na pytania (np. zastąpienie istniejącego pliku).\n"
    "Kody wyjścia: 0 sukces, 1 błąd, 2 błędne argumenty.\n",
    "Usage:\n"
    "  quorvel-cli devices\n"
    "      device types: name, link, default port settings\n"
    "  quorvel-cli info FILE\n"
    "      header of a data file (.qvl or Intel HEX)\n"
    "  quorvel-cli encode --device TYPE [--yes] HEXFILE OUTFILE\n"
    "      encode an Intel HEX file into a .qvl file for a device type\n"
    "  quorvel-cli ports\n"
    "      serial ports (as the window's port list shows them)\n"
    "  quorvel-cli program --device TYPE --port PORT [--address N] [--baud RATE]\n"
    "                      [--parity none|odd|even|mark|space] [--data-bits N]\n"
    "                      [--stop-bits 1|1.5|2] FILE\n"
    "      program the device with a data file (.qvl or Intel HEX);\n"
    "      PORT is a name from the port list or a device path; Ctrl-C stops\n"
    "Option --yes answers \"yes\" to questions (such as replacing an existing file).\n"
    "Exit codes: 0 success, 1 failure, 2 bad arguments.\n"};
constexpr TextPair kBadArgument{"Błędny argument: ", "Bad argument: "};

struct Command {
  const char* name;
  std::set<std::string> valueOptions;
  std::set<std::string> flagOptions;
  std::function<int(const CliContext&)> run;
};

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands{
      {"devices", {}, {}, DevicesCommand},
      {"info", {}, {}, InfoCommand},
      {"encode", {"device"}, {"yes"}, EncodeCommand},
      {"ports", {}, {}, PortsCommand},
      {"program",
       {"device", "port", "address", "baud", "parity", "data-bits", "stop-bits"},
       {},
       ProgramCommand},
  };
  return commands;
}

}  // namespace

int UsageError(const std::string& detail) {
  if (!detail.empty()) std::fprintf(stderr, "%s%s\n", kBadArgument.str().c_str(), detail.c_str());
  std::fputs(kUsage.str().c_str(), stderr);
  return kExitUsage;
}

}  // namespace quorvel

int main(int argc, char** argv) {
  using namespace quorvel;
  Language = LanguageFromEnvironment();
  if (argc < 2) return UsageError("");
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    std::fputs(kUsage.str().c_str(), stdout);
    return kExitOk;
  }
  for (const Command& command : Commands()) {
    if (name != command.name) continue;
    CliContext context;
    context.args = ParseCliArgs(std::vector<std::string>(argv + 2, argv + argc),
                                command.valueOptions, command.flagOptions);
    if (!context.args.error.empty()) return UsageError(context.args.error);
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
