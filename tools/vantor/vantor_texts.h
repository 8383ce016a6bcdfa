// Every text the monitor shows, in both languages.
#pragma once

#include <QString>
#include <string>

#include "app/globals.h"

namespace quorvel::vantor_texts {

// A text of the program as Qt shows it.
inline QString Text(const TextPair& pair) {
  return QString::fromUtf8(pair.text().data(), static_cast<qsizetype>(pair.text().size()));
}
inline QString FromStd(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline constexpr TextPair kTitle{"Bufor portu komunikacji", "Comm port buffer"};
inline constexpr TextPair kLinkSerial{"COM", "COM"};
inline constexpr TextPair kLinkUsb{"USB", "USB"};
inline constexpr TextPair kNoPort{"(brak portu)", "(no port)"};

inline constexpr TextPair kColumnTime{"Czas [ms] (odstęp)", "Time [ms] (gap)"};
inline constexpr TextPair kColumnPort{"Port", "Port"};
inline constexpr TextPair kColumnDirection{"Kierunek", "Direction"};
inline constexpr TextPair kColumnLength{"Długość", "Length"};
inline constexpr TextPair kColumnHex{"Bajty (hex)", "Bytes (hex)"};
inline constexpr TextPair kColumnAscii{"ASCII", "ASCII"};
inline constexpr TextPair kColumnMeaning{"Znaczenie", "Meaning"};

// The arrow tells the direction where the colour cannot.
inline constexpr TextPair kSent{"→ wysłano", "→ sent"};
inline constexpr TextPair kReceived{"← odebrano", "← received"};

inline constexpr TextPair kPause{"Wstrzymaj", "Pause"};
inline constexpr TextPair kClear{"Wyczyść", "Clear"};
inline constexpr TextPair kCopy{"Kopiuj zaznaczone", "Copy selected"};
inline constexpr TextPair kSave{"Zapisz jako tekst...", "Save as text..."};
inline constexpr TextPair kOpen{"Otwórz zapis...", "Open trace..."};
inline constexpr TextPair kTraceFilter{"Zapis ruchu (*.txt *.trace);;Wszystkie pliki (*)",
                                       "Traffic trace (*.txt *.trace);;All files (*)"};

// Status line: rows shown, rows let go because of the bound, blocks that
// came while paused, lines of an opened trace that were not trace lines.
inline constexpr TextPair kStatusRows{"Wierszy: %s (najwyżej %s)", "Rows: %s (at most %s)"};
inline constexpr TextPair kStatusDropped{"najstarszych usuniętych: %s", "oldest dropped: %s"};
inline constexpr TextPair kStatusPaused{"pominiętych podczas wstrzymania: %s",
                                        "skipped while paused: %s"};
inline constexpr TextPair kStatusBadLines{"nieczytelnych wierszy pliku: %s",
                                          "unreadable file lines: %s"};

inline constexpr TextPair kOpenFailed{"Nie można otworzyć zapisu %s: %s",
                                      "Cannot open the trace %s: %s"};
inline constexpr TextPair kNotATrace{"to nie jest zapis ruchu programu",
                                     "it is not a traffic trace of the program"};
inline constexpr TextPair kSaveFailed{"Nie można zapisać %s: %s", "Cannot save %s: %s"};

inline constexpr TextPair kUsage{
    "Użycie: vantor [ARGUMENT_URUCHOMIENIA | PLIK_ZAPISU]\n",
    "Usage: vantor [LAUNCH_ARGUMENT | TRACE_FILE]\n"};
inline constexpr TextPair kBadArgument{
    "vantor: \"%s\" nie jest argumentem uruchomienia (ParentHandle...|Index...|Parameters...|"
    "Device...) ani plikiem zapisu\n",
    "vantor: \"%s\" is neither a launch argument (ParentHandle...|Index...|Parameters...|"
    "Device...) nor a trace file\n"};
inline constexpr TextPair kCannotListen{
    "vantor: nie można nasłuchiwać komunikatów na magistrali sesji D-Bus\n",
    "vantor: cannot listen for messages on the D-Bus session bus\n"};
inline constexpr TextPair kNoBus{"vantor: brak magistrali sesji D-Bus: %s\n",
                                 "vantor: no D-Bus session bus: %s\n"};

}  // namespace quorvel::vantor_texts
