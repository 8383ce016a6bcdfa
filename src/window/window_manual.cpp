#include "window/window_manual.h"

#include "app/globals.h"
#include "app/text_utils.h"

namespace quorvel {
namespace {

// "%s": the program's file name.
constexpr TextPair kUsage{
    "Użycie:\n"
    "  %s [PLIK...]\n"
    "      okno programu; podane pliki danych (.qvl lub Intel HEX) trafiają na listę\n"
    "      plików danych jak po \"Otwórz plik danych\", a pierwszy z nich zostaje\n"
    "      wybrany\n"
    "  %s --help | --version\n",
    "Usage:\n"
    "  %s [FILE...]\n"
    "      the program's window; the data files named (.qvl or Intel HEX) go into\n"
    "      the data file list as \"Open data file\" puts them there, and the first\n"
    "      of them is chosen\n"
    "  %s --help | --version\n"};

constexpr TextPair kTryHelp{"Pomoc: '%s --help'.", "Try '%s --help'."};

// "%s": the program's name, "Quorvel" or "QuorvelKMB".
constexpr TextPair kSummary{
    "wymiana oprogramowania przyrządów pomiarowych VARNELD (program z oknem %s)",
    "replace the firmware of VARNELD measuring instruments (the %s window)"};

// "%s": the program's name, then its file name.
constexpr TextPair kDescription{
    "Opis:\n"
    "%s wymienia oprogramowanie przyrządów pomiarowych VARNELD wyposażonych\n"
    "w bootloader Q-LOAD. Łączy się z przyrządem przez port szeregowy (RS-232 lub\n"
    "RS-485 z adresem na magistrali) albo przez konwerter USB FTDI, prosi działający\n"
    "przyrząd o przejście do bootloadera, sprawdza typ urządzenia, kasuje jego\n"
    "pamięć programu, wysyła obraz blok po bloku, a na koniec resetuje urządzenie\n"
    "i podaje wynik w komunikacie. Koduje też pliki Intel HEX do plików .qvl.\n"
    "\n"
    "Wybierz typ urządzenia, port (albo konwerter USB) i plik danych (\"Otwórz plik\n"
    "danych\"), a następnie naciśnij \"Programuj\". Dziennik pokazuje każdy krok, okno\n"
    "postępu pozwala przerwać przebieg. Polecenie \"Pokaż pomoc\" opisuje kolejne\n"
    "czynności.\n"
    "\n"
    "Okno mówi po polsku, gdy ustawienia regionalne systemu są polskie, w przeciwnym\n"
    "razie po angielsku. Zamyka się po sygnale SIGTERM lub SIGHUP tak jak po\n"
    "kliknięciu przycisku zamknięcia: przebieg się kończy, ustawienia są zapisywane.\n"
    "Bez okna, ze skryptów i na liniach produkcyjnych, programuje quorvel-cli.\n",
    "Description:\n"
    "%s replaces the firmware of VARNELD measuring instruments that carry the\n"
    "Q-LOAD bootloader. It reaches an instrument over a serial port (RS-232, or\n"
    "RS-485 with a bus address) or an FTDI USB-to-serial converter, asks a running\n"
    "instrument to restart into its bootloader, checks the device type, erases its\n"
    "program memory, sends the image block by block, resets it and tells the result\n"
    "in a message. It also encodes Intel HEX files into .qvl files.\n"
    "\n"
    "Choose the device type, the port (or the USB converter) and the data file\n"
    "(\"Open data file\"), then press \"Program\". The log shows every step, the\n"
    "progress window stops the run. The command \"Show help\" tells the steps.\n"
    "\n"
    "The window speaks Polish when the system's locale is Polish, English otherwise.\n"
    "SIGTERM and SIGHUP close it as its close button does: the run ends and the\n"
    "settings are kept. quorvel-cli programs without a window, for scripts and\n"
    "production lines.\n"};

constexpr TextPair kAccess{
    "Dostęp do portów:\n"
    "Porty szeregowe i terminale konwerterów USB należą do grupy dialout. Użytkownik\n"
    "spoza niej dostaje \"Odmowa dostępu\", a komunikat końcowy mówi, jak uzyskać\n"
    "dostęp: raz dodać konto do grupy (sudo usermod -aG dialout $USER) i zalogować\n"
    "się ponownie. Reguła udev z pakietu pozwala grupie dialout ustawić zegar\n"
    "opóźnienia konwertera USB (latency_timer) na 1 ms; bez niej przebieg działa\n"
    "z 16 ms, a dziennik to odnotowuje.\n",
    "Access to ports:\n"
    "Serial ports and the terminals of USB converters belong to the group dialout.\n"
    "A user outside it gets \"Access denied\", and the final message says how to get\n"
    "access: add the account to the group once (sudo usermod -aG dialout $USER) and\n"
    "log in again. The package's udev rule lets the group dialout set a USB\n"
    "converter's latency timer (latency_timer) to 1 ms; without it the run goes on\n"
    "at 16 ms and its log says so.\n"};

// "%s": the settings file's name, "Quorvel" or "QuorvelKMB".
constexpr TextPair kFiles{
    "Pliki:\n"
    "  ~/.config/VARNELD/%s.conf\n"
    "      foldery okien wyboru plików, historia plików danych, odstęp między\n"
    "      ramkami i porty sieciowe dodane do listy portów; odczytywane przy\n"
    "      starcie, zapisywane przy zamknięciu\n",
    "Files:\n"
    "  ~/.config/VARNELD/%s.conf\n"
    "      the folders of the file dialogs, the data file history, the frame\n"
    "      gap and the network ports added to the port list; read at start,\n"
    "      written when the window closes\n"};

constexpr TextPair kEnvironment{
    "Środowisko:\n"
    "  QUORVEL_EXTRA_PORTS   dalsze porty listy portów: ścieżki rozdzielone\n"
    "                        dwukropkami (porty wirtualne, np. quorvel-sim) i porty\n"
    "                        sieciowe rfc2217://HOST:PORT lub tcp://HOST:PORT\n"
    "  QUORVEL_D2XX_LIBRARY  biblioteka D2XX dla konwerterów USB albo builtin:\n"
    "                        wbudowany dostawca na terminalach ftdi_sio jądra\n"
    "                        (domyślny, gdy libftd2xx.so nie jest zainstalowana)\n",
    "Environment:\n"
    "  QUORVEL_EXTRA_PORTS   further ports for the port list: paths separated by\n"
    "                        colons (virtual ports such as quorvel-sim's) and\n"
    "                        network ports rfc2217://HOST:PORT or tcp://HOST:PORT\n"
    "  QUORVEL_D2XX_LIBRARY  the D2XX library for USB converters, or builtin: the\n"
    "                        built-in provider over the kernel's ftdi_sio terminals\n"
    "                        (the default when libftd2xx.so is not installed)\n"};

constexpr TextPair kSeeAlso{"Zobacz także:\nquorvel-cli(1), quorvel-sim(1)\n",
                            "See also:\nquorvel-cli(1), quorvel-sim(1)\n"};

}  // namespace

std::string WindowProgramFile() {
  return Edition == 0 ? "quorvel" : "quorvel-kmb";
}

std::string WindowUsage() {
  const std::string program = WindowProgramFile();
  return FormatText(kUsage.text(), {program, program});
}

std::string WindowTryHelp() {
  return FormatText(kTryHelp.text(), {WindowProgramFile()});
}

ManualPage WindowManual() {
  const std::string name(ProgramName());
  return {WindowProgramFile(),
          FormatText(kSummary.text(), {name}),
          {FormatText(kDescription.text(), {name}), WindowUsage(), kAccess.str(),
           FormatText(kFiles.text(), {name}), kEnvironment.str(), kSeeAlso.str()}};
}

}  // namespace quorvel
