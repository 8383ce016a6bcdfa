// quorvel-cli: the headless tool over the same core as the window, for
// scripts and production lines.
#include <signal.h>

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
    "  quorvel-cli ports [--device TYP] [--service]\n"
    "      porty szeregowe (jak na liście portów okna); dla typu urządzenia z łączem\n"
    "      USB: konwertery USB, które ten typ przyjmuje, jako lokalizacja=opis numer;\n"
    "      --service: każdy konwerter FTDI\n"
    "  quorvel-cli program --device TYP --port PORT [--port PORT...] [--ports-from PLIK]\n"
    "                      [--report PLIK.json] [--address N] [--baud PRĘDKOŚĆ]\n"
    "                      [--parity none|odd|even|mark|space] [--data-bits 5|6|7|8]\n"
    "                      [--stop-bits 1|1.5|2] [--frame-gap auto|standard|MS] PLIK\n"
    "      zaprogramowanie urządzenia plikiem danych (.qvl lub Intel HEX);\n"
    "      PORT to nazwa z listy portów lub ścieżka urządzenia (USB: opis konwertera\n"
    "      lub jego lokalizacja z 'ports --device'); 1.5 bitu stopu\n"
    "      tylko z --data-bits 5; Ctrl-C (oraz SIGTERM, SIGHUP) przerywa;\n"
    "      kilka portów (--port wielokrotnie, --ports-from: port w wierszu, # to\n"
    "      komentarz): urządzenia programowane równocześnie, wiersze dziennika\n"
    "      z prefiksem [PORT], na końcu tabela wyników; --report: wynik w JSON;\n"
    "      --frame-gap: cisza kończąca odebraną ramkę i odstęp między ramkami:\n"
    "      auto (domyślnie: kilka czasów znaku przy danej prędkości; gdy\n"
    "      urządzenie nie nadąża, przebieg przechodzi na 50 ms), standard (50 ms)\n"
    "      lub stała liczba ms od 1 do 1000\n"
    "  quorvel-cli --help | --version\n"
    "Opcja --yes odpowiada \"tak\" na pytania (np. zastąpienie istniejącego pliku).\n"
    "Kody wyjścia:\n"
    "  0  sukces (program: każdy blok i reset urządzenia potwierdzone)\n"
    "  1  błąd\n"
    "  2  błędne argumenty\n"
    "  3  obraz zapisano, ale urządzenie nie potwierdziło ponownego uruchomienia:\n"
    "     wyłącz i włącz urządzenie, a następnie sprawdź, czy działa\n"
    "Kilka urządzeń: 0 gdy wszystkie się powiodły, inaczej najpoważniejszy kod\n"
    "(1 przed 3 przed 0).\n",
    "Usage:\n"
    "  quorvel-cli devices\n"
    "      device types: name, link, default port settings\n"
    "  quorvel-cli info FILE\n"
    "      header of a data file (.qvl or Intel HEX)\n"
    "  quorvel-cli encode --device TYPE [--yes] HEXFILE OUTFILE\n"
    "      encode an Intel HEX file into a .qvl file for a device type\n"
    "  quorvel-cli ports [--device TYPE] [--service]\n"
    "      serial ports (as the window's port list shows them); for a device type\n"
    "      with a USB link: the USB converters it accepts, as location=description\n"
    "      serial; --service: every FTDI converter\n"
    "  quorvel-cli program --device TYPE --port PORT [--port PORT...] [--ports-from FILE]\n"
    "                      [--report FILE.json] [--address N] [--baud RATE]\n"
    "                      [--parity none|odd|even|mark|space] [--data-bits 5|6|7|8]\n"
    "                      [--stop-bits 1|1.5|2] [--frame-gap auto|standard|MS] FILE\n"
    "      program the device with a data file (.qvl or Intel HEX);\n"
    "      PORT is a name from the port list or a device path (USB: the converter's\n"
    "      text or location from 'ports --device'); 1.5 stop bits\n"
    "      only with --data-bits 5; Ctrl-C (and SIGTERM, SIGHUP) stops;\n"
    "      several ports (--port repeated, --ports-from: one port a line, #\n"
    "      comments): the devices are programmed at the same time, log lines\n"
    "      prefixed [PORT], a table of results at the end; --report: the\n"
    "      result as JSON; --frame-gap: the silence that ends a received frame\n"
    "      and the gap between frames sent: auto (the default: a few character\n"
    "      times at the line rate; when the device does not keep up, the run\n"
    "      goes on with 50 ms), standard (50 ms) or a fixed number of ms from 1\n"
    "      to 1000\n"
    "  quorvel-cli --help | --version\n"
    "Option --yes answers \"yes\" to questions (such as replacing an existing file).\n"
    "Exit codes:\n"
    "  0  success (program: every block and the device's reset acknowledged)\n"
    "  1  failure\n"
    "  2  bad arguments\n"
    "  3  the image was written but the device did not confirm its restart:\n"
    "     switch it off and on and check it\n"
    "Several devices: 0 when every one succeeded, otherwise the most severe code\n"
    "(1 over 3 over 0).\n"};
constexpr TextPair kBadArgument{"Błędny argument: ", "Bad argument: "};
constexpr TextPair kMissingArgument{"Brak argumentu: ", "Missing argument: "};
constexpr TextPair kMissingCommand{"Brak polecenia.", "No command given."};
constexpr TextPair kTryHelp{"Pomoc: 'quorvel-cli --help'.", "Try 'quorvel-cli --help'."};

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
      {"ports", {"device"}, {"service"}, PortsCommand},
      {"program",
       {"device", "port", "ports-from", "report", "address", "baud", "parity", "data-bits",
        "stop-bits", "frame-gap"},
       {"service"},
       ProgramCommand},
  };
  return commands;
}

// The whole usage, asked for: on stdout.
int PrintUsage() {
  std::fputs(kUsage.str().c_str(), stdout);
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
  std::fprintf(stderr, "%s\n%s\n", problem.c_str(), kTryHelp.str().c_str());
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
