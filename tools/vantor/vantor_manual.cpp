#include "vantor/vantor_manual.h"

#include <string>

#include "app/globals.h"
#include "app/text_utils.h"
#include "vantor/traffic_rows.h"

namespace quorvel {
namespace {

constexpr TextPair kUsage{
    "Użycie:\n"
    "  vantor ARGUMENT_URUCHOMIENIA\n"
    "      monitor uruchomiony przez okno programu (przycisk \"Bufor portu\n"
    "      komunikacji\"): śledzi komunikaty tego okna na magistrali sesji D-Bus;\n"
    "      argument ma postać ParentHandle...|Index0|Parameters...|Device...\n"
    "  vantor PLIK_ZAPISU\n"
    "      pokazuje zapis ruchu (quorvel-cli program --trace PLIK albo \"Zapisz\n"
    "      jako tekst...\" monitora)\n"
    "  vantor\n"
    "      pusty monitor, który może otworzyć zapis\n"
    "  vantor --help | --version\n",
    "Usage:\n"
    "  vantor LAUNCH_ARGUMENT\n"
    "      the monitor the program's window starts (the button \"Comm port\n"
    "      buffer\"): it follows that window's messages on the D-Bus session bus;\n"
    "      the argument reads ParentHandle...|Index0|Parameters...|Device...\n"
    "  vantor TRACE_FILE\n"
    "      shows a traffic trace (quorvel-cli program --trace FILE, or the\n"
    "      monitor's \"Save as text...\")\n"
    "  vantor\n"
    "      an empty monitor that can open a trace\n"
    "  vantor --help | --version\n"};

constexpr TextPair kSummary{"monitor ruchu na porcie programu Quorvel",
                            "the traffic monitor of Quorvel's port"};

constexpr TextPair kDescription{
    "Opis:\n"
    "vantor pokazuje bajty, które program wysłał do przyrządu i od niego odebrał,\n"
    "blok po bloku, w kolejności na łączu: czas od pierwszego bloku i odstęp od\n"
    "poprzedniego, kierunek, długość, bajty szesnastkowo i jako ASCII oraz ich\n"
    "znaczenie (polecenia i odpowiedzi bootloadera, ramki aplikacji przyrządu, echo,\n"
    "zakłócenia), odczytane tym samym kodem, którego używa programowanie.\n"
    "\n"
    "Okno przyjmuje komunikaty tylko od okna, które je uruchomiło (znacznik\n"
    "w argumencie uruchomienia). Nigdy nie spowalnia obserwowanego przebiegu: okno,\n"
    "które przez sekundę nie dostaje odpowiedzi od monitora, uznaje go za zamknięty.\n"
    "\n"
    "Monitor przechowuje najwyżej %s wierszy i %s MiB bajtów; potem usuwa\n"
    "najstarsze i mówi o tym w wierszu stanu. Wstrzymaj, Wyczyść, Kopiuj\n"
    "zaznaczone, Zapisz jako tekst... i Otwórz zapis... działają także podczas\n"
    "przebiegu.\n",
    "Description:\n"
    "vantor shows the bytes the program sent to an instrument and received from\n"
    "it, block by block, in the order of the line: the time since the first block\n"
    "and the gap to the one before, the direction, the length, the bytes in hex\n"
    "and ASCII, and what they mean (the bootloader's commands and replies, the\n"
    "instrument application's frames, echo, noise), read by the same code that\n"
    "programs.\n"
    "\n"
    "It takes messages only from the window that started it (the token in the\n"
    "launch argument). It never slows the run it watches: a window whose monitor\n"
    "has not answered for a second treats it as closed.\n"
    "\n"
    "The monitor keeps at most %s rows and %s MiB of bytes; then it lets the\n"
    "oldest go and says so in its status line. Pause, Clear, Copy selected, Save\n"
    "as text... and Open trace... work during a run too.\n"};

constexpr TextPair kTraceFormat{
    "Plik zapisu:\n"
    "Pierwszy wiersz to \"# quorvel trace 1\". Każdy następny to jeden blok, pola\n"
    "rozdzielone tabulatorami: czas w milisekundach od pierwszego bloku (trzy\n"
    "miejsca po przecinku), port, sent albo received, bajty szesnastkowo\n"
    "i znaczenie. Wiersze zaczynające się od \"#\" to komentarze.\n",
    "Trace file:\n"
    "The first line is \"# quorvel trace 1\". Every further line is one block,\n"
    "its fields separated by tabs: the time in milliseconds since the first block\n"
    "(three decimals), the port, sent or received, the bytes in hex, and the\n"
    "meaning. Lines that start with \"#\" are comments.\n"};

constexpr TextPair kEnvironment{
    "Środowisko:\n"
    "  QUORVEL_EDITION  1: tytuł okna w edycji QuorvelKMB (ustawia okno, które\n"
    "                   uruchamia monitor)\n",
    "Environment:\n"
    "  QUORVEL_EDITION  1: the window title of the QuorvelKMB edition (set by the\n"
    "                   window that starts the monitor)\n"};

constexpr TextPair kExitCodes{
    "Kody wyjścia:\n"
    "  0  okno zostało zamknięte\n"
    "  1  brak magistrali sesji D-Bus albo nie można na niej nasłuchiwać\n"
    "  2  błędny argument albo plik, który nie jest zapisem ruchu\n",
    "Exit codes:\n"
    "  0  the window was closed\n"
    "  1  no D-Bus session bus, or no way to listen on it\n"
    "  2  a wrong argument, or a file that is not a traffic trace\n"};

constexpr TextPair kSeeAlso{"Zobacz także:\nquorvel(1), quorvel-kmb(1), quorvel-cli(1)\n",
                            "See also:\nquorvel(1), quorvel-kmb(1), quorvel-cli(1)\n"};

}  // namespace

std::string VantorUsage() {
  return kUsage.str();
}

ManualPage VantorManual() {
  const std::string rows = std::to_string(TrafficRowModel::kDefaultMaxRows);
  const std::string mebibytes = std::to_string(TrafficRowModel::kDefaultMaxBytes / (1024 * 1024));
  return {"vantor",
          kSummary.str(),
          {FormatText(kDescription.text(), {rows, mebibytes}), VantorUsage(), kTraceFormat.str(),
           kEnvironment.str(), kExitCodes.str(), kSeeAlso.str()}};
}

}  // namespace quorvel
