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
    "  quorvel-cli program --device TYP --port PORT [--port PORT...] [--ports-from PLIK...]\n"
    "                      [--report PLIK.json] [--trace PLIK.txt] [--address N]\n"
    "                      [--baud PRĘDKOŚĆ]\n"
    "                      [--parity none|odd|even|mark|space] [--data-bits 5|6|7|8]\n"
    "                      [--stop-bits 1|1.5|2] [--frame-gap auto|standard|MS] PLIK\n"
    "      zaprogramowanie urządzenia plikiem danych (.qvl lub Intel HEX);\n"
    "      PORT to nazwa z listy portów lub ścieżka urządzenia (USB: opis konwertera\n"
    "      lub jego lokalizacja z 'ports --device'); 1.5 bitu stopu\n"
    "      tylko z --data-bits 5; Ctrl-C (oraz SIGTERM, SIGHUP) przerywa;\n"
    "      kilka portów (--port i --ports-from wielokrotnie; --ports-from: port\n"
    "      w wierszu, # to komentarz): urządzenia programowane równocześnie,\n"
    "      wiersze dziennika z prefiksem [PORT], na końcu tabela wyników;\n"
    "      --report: wynik w JSON; --trace: bajty wysłane i odebrane na łączu\n"
    "      każdego portu z ich znaczeniem, w jednym pliku tekstowym (port w każdym\n"
    "      wierszu; otwiera go program vantor); --frame-gap: cisza kończąca odebraną ramkę\n"
    "      i odstęp między ramkami: auto (domyślnie: kilka czasów znaku przy\n"
    "      danej prędkości; gdy urządzenie nie nadąża, przebieg przechodzi na\n"
    "      50 ms), standard (50 ms) lub stała liczba ms od 1 do 1000\n"
    "  quorvel-cli --help | --version\n"
    "Opcja --yes odpowiada \"tak\" na pytania (np. zastąpienie istniejącego pliku).\n"
    "Każdą opcję poza --port i --ports-from podaje się najwyżej raz.\n"
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
    "  quorvel-cli program --device TYPE --port PORT [--port PORT...] [--ports-from FILE...]\n"
    "                      [--report FILE.json] [--trace FILE.txt] [--address N]\n"
    "                      [--baud RATE]\n"
    "                      [--parity none|odd|even|mark|space] [--data-bits 5|6|7|8]\n"
    "                      [--stop-bits 1|1.5|2] [--frame-gap auto|standard|MS] FILE\n"
    "      program the device with a data file (.qvl or Intel HEX);\n"
    "      PORT is a name from the port list or a device path (USB: the converter's\n"
    "      text or location from 'ports --device'); 1.5 stop bits\n"
    "      only with --data-bits 5; Ctrl-C (and SIGTERM, SIGHUP) stops;\n"
    "      several ports (--port and --ports-from repeated; --ports-from: one\n"
    "      port a line, # comments): the devices are programmed at the same\n"
    "      time, log lines prefixed [PORT], a table of results at the end;\n"
    "      --report: the result as JSON; --trace: the bytes sent and received on\n"
    "      each port's line with their meaning, in one text file (the port on\n"
    "      every line; the vantor program opens it); --frame-gap: the silence that ends a\n"
    "      received frame and the gap between frames sent: auto (the default:\n"
    "      a few character times at the line rate; when the device does not\n"
    "      keep up, the run goes on with 50 ms), standard (50 ms) or a fixed\n"
    "      number of ms from 1 to 1000\n"
    "  quorvel-cli --help | --version\n"
    "Option --yes answers \"yes\" to questions (such as replacing an existing file).\n"
    "Every option but --port and --ports-from is given at most once.\n"
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
      {"devices", {}, {}, {}, DevicesCommand},
      {"info", {}, {}, {}, InfoCommand},
      {"encode", {"device"}, {"yes"}, {}, EncodeCommand},
      {"ports", {"device"}, {"service"}, {}, PortsCommand},
      {"program",
       {"device", "port", "ports-from", "report", "trace", "address", "baud", "parity",
        "data-bits", "stop-bits", "frame-gap"},
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
