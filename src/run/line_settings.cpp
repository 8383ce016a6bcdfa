#include "run/line_settings.h"

#include <algorithm>
#include <cmath>

#include "app/globals.h"
#include "app/text_utils.h"

namespace quorvel {
namespace {

constexpr std::array<uint32_t, kBaudRateCount> kBaudValues{300,    600,    1200,   2400,   4800,
                                                           9600,   14400,  19200,  38400,  57600,
                                                           115200, 230400, 460800, 921600, 125000};
constexpr std::array<std::string_view, kBaudRateCount> kBaudTextsUnit{
    "300bps",    "600bps",    "1200bps",   "2400bps",   "4800bps",
    "9600bps",   "14400bps",  "19200bps",  "38400bps",  "57600bps",
    "115200bps", "230400bps", "460800bps", "921600bps", "125000bps"};
constexpr std::array<std::string_view, kBaudRateCount> kBaudTexts{
    "300",   "600",   "1200",   "2400",   "4800",   "9600",   "14400", "19200",
    "38400", "57600", "115200", "230400", "460800", "921600", "125000"};
constexpr std::array<TextPair, kParityCount> kParityNames{{{"brak", "none"},
                                                           {"nieparzyste", "odd"},
                                                           {"parzyste", "even"},
                                                           {"znacznik", "mark"},
                                                           {"spacja", "space"}}};
constexpr std::array<std::string_view, kParityCount> kParityLetters{"N", "O", "E", "M", "S"};
constexpr std::array<std::string_view, kDataBitsCount> kDataBitsTexts{"4", "5", "6", "7", "8"};
constexpr std::array<std::string_view, kStopBitsCount> kStopBitsTexts{"1", "1.5", "2"};
constexpr std::array<TextPair, 10> kStatusTexts{{{"Połączony", "Connected"},
                                                 {"Rozłączony", "Disconnected"},
                                                 {"Brak komunikacji", "Communication lost"},
                                                 {"Błąd ramki danych", "Data frame error"},
                                                 {"Błąd transmisji danych", "Communication error"},
                                                 {"Błędne dane", "Data error"},
                                                 {"Odmowa dostępu", "Access denied"},
                                                 {"Zajęty", "Busy"},
                                                 {"Nie znaleziono portu", "Port not found"},
                                                 {"Błąd portu COM", "Port COM error"}}};
constexpr TextPair kNoneText{"żaden", "none"};

template <typename Table>
auto At(const Table& table, uint8_t ordinal, typename Table::value_type fallback) {
  return ordinal < table.size() ? table[ordinal] : fallback;
}

uint32_t RoundToUint(double value) {
  return static_cast<uint32_t>(std::llround(value));
}

}  // namespace

uint32_t BaudRateValue(uint8_t ordinal) {
  return At(kBaudValues, ordinal, 0u);
}
std::string_view BaudTextWithUnit(uint8_t ordinal) {
  return At(kBaudTextsUnit, ordinal, "");
}
std::string_view BaudText(uint8_t ordinal) {
  return At(kBaudTexts, ordinal, "");
}
std::string_view ParityName(uint8_t ordinal) {
  return ordinal < kParityNames.size() ? kParityNames[ordinal].text() : "";
}
std::string_view ParityLetter(uint8_t ordinal) {
  return At(kParityLetters, ordinal, "");
}
std::string_view DataBitsText(uint8_t ordinal) {
  return At(kDataBitsTexts, ordinal, "");
}
std::string_view StopBitsText(uint8_t ordinal) {
  return At(kStopBitsTexts, ordinal, "");
}

std::string LineSettingsCaption(const LineSettings& s) {
  std::string caption(BaudText(s.Baud));
  caption += ' ';
  caption += ParityLetter(s.Parity);
  caption += ' ';
  caption += DataBitsText(s.DataBits);
  caption += ' ';
  caption += StopBitsText(s.StopBits);
  return caption;
}

namespace {

double BitsPerCharacter(const LineSettings& s) {
  const double dataBits = s.DataBits + 4.0;
  return dataBits + 1.0 + (s.Parity != pbNone ? 1.0 : 0.0) + (s.StopBits + 2) / 2.0;
}

}  // namespace

uint32_t BytesPerSecond(const LineSettings& s) {
  const double dataBits = s.DataBits + 4.0;
  const double charsPerSecond = BaudRateValue(s.Baud) / BitsPerCharacter(s);
  return RoundToUint(charsPerSecond * dataBits / 8.0);
}

uint16_t AutoFrameGapMs(const LineSettings& s, uint32_t transportLatencyMs) {
  const uint32_t baud = BaudRateValue(s.Baud);
  uint32_t ms = 1;
  if (baud != 0) {
    const double exact = kAutoFrameGapCharacters * BitsPerCharacter(s) * 1000.0 / baud;
    ms = std::max<uint32_t>(1, static_cast<uint32_t>(std::ceil(exact)));
  }
  return static_cast<uint16_t>(std::min<uint32_t>(ms + transportLatencyMs, 0xFFFF));
}

uint32_t TransmissionTimeMs(const LineSettings& s, uint32_t bytes) {
  const uint32_t bps = BytesPerSecond(s);
  return bps == 0 ? 0 : RoundToUint(bytes * 1000.0 / bps);
}

uint32_t BytesInTimeMs(const LineSettings& s, uint32_t ms) {
  return RoundToUint(BytesPerSecond(s) * static_cast<double>(ms) / 1000.0);
}

std::string_view StatusText(TLinkStatus status, uint8_t language) {
  const auto code = static_cast<size_t>(status);
  if (code >= kStatusTexts.size()) return "";
  return language == 0 ? kStatusTexts[code].pl : kStatusTexts[code].en;
}

std::string_view UsbStatusText(TLinkStatus status, uint8_t language) {
  static constexpr TextPair kUsbPortError{"Błąd portu USB", "Port USB error"};
  if (status == TLinkStatus::PortError) return language == 0 ? kUsbPortError.pl : kUsbPortError.en;
  return StatusText(status, language);
}

std::string_view UsbStatusText(TLinkStatus status) {
  return UsbStatusText(status, Language);
}

std::string_view StatusText(TLinkStatus status) {
  return StatusText(status, Language);
}

std::string_view NoneText(uint8_t language) {
  return language == 0 ? kNoneText.pl : kNoneText.en;
}

bool IsNoneName(std::string_view name) {
  return SameTextNoCase(name, kNoneText.pl) || SameTextNoCase(name, kNoneText.en);
}

}  // namespace quorvel
