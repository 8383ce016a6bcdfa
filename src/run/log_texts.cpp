#include "run/log_texts.h"

namespace quorvel {
namespace {

const std::array<LogTextPair, kLogTextCount> kPlainLogTexts{{
    {"Data: ", "Date: "},
    {"Wybrany typ urządzenia: ", "Selected device type: "},
    {"Port komunikacji: ", "Comm port: "},
    {"Urządzenie USB: ", "USB device: "},
    {"Plik danych: ", "Data file: "},
    {"Błąd pliku danych: ", "Data file error: "},
    {"Rozmiar danych: ", "Data size: "},
    {"- Nawiązanie połączenia z urządzeniem: ", "- Connection established: "},
    {"- Inicjalizacja bootloader'a: ", "- Connecting with bootloader: "},
    {"- Próba połączenia z aplikacją użytkową: ", "- Connecting with user application: "},
    {"- Uruchomienie trybu bootloader'a: ", "- Entering bootloader mode: "},
    {"- Pobieranie danych urządzenia: ", "- Reading device information: "},
    {"- Informacje o urządzeniu: ", "- Device information: "},
    {"- Rozmiar bloku danych: ", "- Data block size: "},
    {"- Całkowity rozmiar danych: ", "- Total data size: "},
    {"- Kasowanie pamięci programu: ", "- Erasing program memory: "},
    {"- Przesyłanie bloku danych: ", "- Sending data block: "},
    {"- Zapisanie bloku danych: ", "- Writing data block: "},
    {"- Zapisano dane: ", "- Bytes written: "},
    {"- Nieznany błąd bootloader'a: ", "- Unknown bootloader error: "},
    {"- Pusty blok danych: ", "- Empty data block: "},
    {"- Reset urządzenia: ", "- Device reset: "},
    {"- Niezgodne typy urządzeń: ", "- Incompatible device types: "},
    {"- Niewłaściwa wersja bootloader'a: ", "- Incompatible bootloader version: "},
    {"- Niewłaściwa wersja programu urządzenia: ", "- Inapropriate firmvare version: "},
    {"- Przewrano na skutek przeterminowania", "- Timeout occured"},
    {"- Przewrano na żądanie użytkownika", "- User abort"},
    {"- Rezultat: ", "- Result: "},
    {"- Odstęp ramek od teraz: ", "- Frame gap from now on: "},
    {"- Urządzenie odmówiło ", "- The device refused "},
    {"- Nie sprawdzono typu urządzenia: ", "- Device type not checked: "},
    {"- Oprogramowanie urządzenia jest już aktualne: ", "- Firmware already current: "},
    {"- Wersja oprogramowania urządzenia: ", "- Device firmware version: "},
}};

// A width function that never grows must not pad forever.
constexpr int kMaxPadding = 256;

}  // namespace

const std::array<LogTextPair, kLogTextCount>& LogTexts() {
  return kPlainLogTexts;
}

const std::string& LogText(int index) {
  static const std::string empty;
  if (index < 0 || index >= static_cast<int>(kLogTextCount)) return empty;
  return LogTexts()[static_cast<size_t>(index)].text();
}

BlockLogPrefixes PaddedBlockLogPrefixes(const TextWidthFn& width) {
  BlockLogPrefixes prefixes{LogText(kLogSendingBlock), LogText(kLogWritingBlock)};
  std::string& a = prefixes.sending;
  std::string& b = prefixes.writing;
  std::string& narrow = width(a) < width(b) ? a : b;
  const std::string& wide = &narrow == &a ? b : a;
  const int target = width(wide);
  for (int i = 0; i < kMaxPadding && width(narrow) < target; ++i) narrow += ' ';
  a += '\t';
  b += '\t';
  return prefixes;
}

}  // namespace quorvel
