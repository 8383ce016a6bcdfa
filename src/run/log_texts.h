// The run log's text pairs, the argument texts of its lines, the result texts
// of the final message and the no-connection advice.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "app/globals.h"
#include "datafile/utilities.h"

namespace quorvel {

// One log text in both languages.
struct LogTextPair {
  std::string pl;
  std::string en;
  const std::string& text() const { return Language == 0 ? pl : en; }
};

constexpr size_t kLogTextCount = 33;

// Indexes of the log texts.
enum LogIndex : int {
  kLogDate = 0,
  kLogDeviceType = 1,
  kLogCommPort = 2,
  kLogUsbDevice = 3,
  kLogDataFile = 4,
  kLogDataFileError = 5,
  kLogDataSize = 6,
  kLogConnected = 7,
  kLogConnectingBoot = 8,
  kLogConnectingApp = 9,
  kLogEnteringBoot = 10,
  kLogReadingInfo = 11,
  kLogDeviceInfo = 12,
  kLogBlockSize = 13,
  kLogTotalSize = 14,
  kLogErasing = 15,
  kLogSendingBlock = 16,
  kLogWritingBlock = 17,
  kLogBytesWritten = 18,
  kLogUnknownError = 19,
  kLogEmptyBlock = 20,
  kLogDeviceReset = 21,
  kLogIncompatibleDevice = 22,
  kLogIncompatibleBoot = 23,
  kLogBadFirmware = 24,
  kLogTimeout = 25,
  kLogUserAbort = 26,
  kLogResult = 27,
  // The run switched the link to the standard frame gap.
  kLogFrameGap = 28,
  // The device refused the same command so often that the run gave up.
  kLogDeviceRefused = 29,
  // The device information's type code is one that is not compared.
  kLogDeviceNotChecked = 30,
  // The user application reported the version named as current: the run
  // ends without programming.
  kLogAlreadyCurrent = 31,
  // The version the user application reported (or none) when it is not the
  // one named as current: the run goes on programming.
  kLogAppVersion = 32,
};

// The log texts, plain and never changed. A RunLog lines up texts 16 and
// 17 for its own view when it writes them (PaddedBlockLogPrefixes).
const std::array<LogTextPair, kLogTextCount>& LogTexts();

// The log text of an index in the current Language; "" outside the table.
const std::string& LogText(int index);

// Texts 16 ("sending") and 17 ("writing") of the current Language lined up:
// the narrower gets blanks until both have the same width as measured by
// `width`, then both get a "\t".
struct BlockLogPrefixes {
  std::string sending;
  std::string writing;
};
BlockLogPrefixes PaddedBlockLogPrefixes(const TextWidthFn& width);

// Argument texts of log lines.
constexpr std::string_view kArgPending = "..........";
constexpr std::string_view kArgOk = "OK";
constexpr TextPair kArgError{"błąd", "error"};
constexpr TextPair kArgDeviceProtocol{"protokół aplikacji urządzenia", "device protocol"};
constexpr TextPair kArgBootProtocol{"protokół bootloader'a", "bootloader protocol"};
constexpr TextPair kArgRequiredVersion{"wymagana wersja od: ", "required greater than: "};
constexpr TextPair kArgSupportedVersion{"wersja obsługiwana: ", "supported version: "};
constexpr TextPair kArgSelectedProgrammed{"wybranego (%s) i programowanego (%s)",
                                          "selected (%s) and programmmed (%s)"};
constexpr TextPair kArgSelected{"wybranego", "selected"};
constexpr TextPair kArgAndDataFile{"i pliku danych", "and data file"};
constexpr TextPair kArgUpdate{"Uaktualnij aplikację ", "Update "};
constexpr TextPair kArgBadBlockAddress{"niewłaściwy adres bloku danych", "bad data block address"};
constexpr TextPair kArgNoData{"plik nie zawiera danych", "the file holds no data"};
constexpr TextPair kArgDeviceNotKeepingUp{" (urządzenie nie nadążało za krótszym odstępem)",
                                          " (the device did not keep up with the shorter one)"};
constexpr TextPair kArgBlockUnusable{"nieużyteczny (musi być parzysty i większy od zera)",
                                     "unusable (must be even and above 0)"};
constexpr TextPair kArgBlockTooLarge{"za duży dla łącza, największy: ",
                                     "too large for the link, largest: "};

// What the device refused (after kLogDeviceRefused), then how often.
constexpr TextPair kArgRefusedConnect{"połączenia", "the connection"};
constexpr TextPair kArgRefusedReadInfo{"podania danych urządzenia",
                                       "to give its device information"};
constexpr TextPair kArgRefusedErase{"skasowania pamięci programu", "to erase its program memory"};
// Followed by the block's address range.
constexpr TextPair kArgRefusedWrite{"zapisania bloku danych ", "to write data block "};
constexpr TextPair kArgRefusedReset{"resetu", "to reset"};
constexpr TextPair kArgTimes{"razy", "times"};

// After kLogDeviceNotChecked: the code (with its model name) and the
// selected type.
constexpr TextPair kArgNotCompared{
    "urządzenie podaje kod %s; kodów od 1 do 5 (najstarsze typy urządzeń) i 65535 (brak typu) nie "
    "porównuje się z wybranym typem (%s)",
    "the device reports code %s; codes 1 to 5 (the oldest device types) and 65535 (no type) "
    "are not compared with the selected type (%s)"};

// After kLogAppVersion when the identify reply held no version text.
constexpr TextPair kArgNoVersion{"brak", "none"};

// Failure texts that replace the log text of the same event.
constexpr TextPair kFailureTimeout{"- Przewrano na skutek przeterminowania", "- Timeout occured"};
constexpr TextPair kFailureUserAbort{"- Przewrano na żądanie użytkownika", "- User abort"};

// Result line and final message.
constexpr TextPair kResultFormat{"Programowanie %s %s", "%s programming %s"};
constexpr TextPair kResultSuccess{"zakończyło się sukcesem.", "was successful."};
constexpr TextPair kResultFailure{"nie powiodło się.", "was unsuccessful."};
// Every block was acknowledged but the reset was not: the image is in the
// device, whether it runs is not known.
constexpr TextPair kResultUnconfirmed{
    "zapisało obraz, ale urządzenie nie potwierdziło ponownego uruchomienia.",
    "wrote the image, but the device did not confirm its restart."};
constexpr TextPair kUnconfirmedAdvice{
    "Wyłącz i ponownie włącz urządzenie, a następnie sprawdź, czy działa z nowym "
    "oprogramowaniem.",
    "Switch the device off and on again, then check that it works with the new firmware."};
// The run found the instrument already current and wrote nothing.
constexpr TextPair kResultAlreadyCurrent{"nie było potrzebne: oprogramowanie jest aktualne.",
                                         "was not needed: the firmware is already current."};
constexpr TextPair kResultGenericDevice{"urządzenia", "Device"};
constexpr TextPair kResultSerialWord{"nr", "no"};
constexpr TextPair kUnknownDevice{"Nieznane urządzenie", "Unknown device"};

// Shown instead of the failure text when the bootloader was never reached.
constexpr TextPair kNoConnectionAdvice{
    "Nie nawiązano połączenia z urządzeniem w trybie bootloader'a.\r\n"
    "1. Sprawdź czy urządzenie jest włączone i czy wybrano właściwy port komunikacji.\r\n"
    "2. Spróbuj ponownie postępując następująco:\r\n"
    "     - wyłącz urządzenie,\r\n"
    "     - naciśnij klawisz \"Programuj\" i bezpośrednio po tym włącz urządzenie.",
    "No connection with device.\r\n"
    "1. Check if the device is turned on and proper comm port is selected.\r\n"
    "2. Try again using scheme:\r\n"
    "     - turn off the device,\r\n"
    "     - press \"Program\" button,\r\n"
    "     - immediately turn on the device."};

}  // namespace quorvel
