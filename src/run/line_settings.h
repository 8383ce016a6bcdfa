// Line settings of a serial link, their display texts, the link status codes
// and the none-name. Qt-free: the core, the links and the tools share them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel {

enum TBaudRate : uint8_t {
  br000300,
  br000600,
  br001200,
  br002400,
  br004800,
  br009600,
  br014400,
  br019200,
  br038400,
  br057600,
  br115200,
  br230400,
  br460800,
  br921600,
  br125000  // 14: set through a custom divisor where the driver allows it
};
enum TParityBit : uint8_t { pbNone, pbOdd, pbEven, pbMark, pbSpace };
enum TDataBits : uint8_t { dbFour, dbFive, dbSix, dbSeven, dbEight };
enum TStopBits : uint8_t { sbOne, sbOnePointFive, sbTwo };

constexpr size_t kBaudRateCount = 15;
constexpr size_t kParityCount = 5;
constexpr size_t kDataBitsCount = 5;
constexpr size_t kStopBitsCount = 3;

// Bits per second of a baud ordinal; 0 for an ordinal past the table.
uint32_t BaudRateValue(uint8_t ordinal);
// "9600bps"; "" past the table.
std::string_view BaudTextWithUnit(uint8_t ordinal);
// "9600"; "" past the table.
std::string_view BaudText(uint8_t ordinal);
// "brak".."spacja" / "none".."space" by Language.
std::string_view ParityName(uint8_t ordinal);
// "N", "O", "E", "M", "S".
std::string_view ParityLetter(uint8_t ordinal);
// "4".."8".
std::string_view DataBitsText(uint8_t ordinal);
// "1", "1.5", "2".
std::string_view StopBitsText(uint8_t ordinal);

// The four line settings as ordinals.
struct LineSettings {
  uint8_t Baud = br009600;
  uint8_t Parity = pbNone;
  uint8_t DataBits = dbEight;
  uint8_t StopBits = sbOne;
  bool operator==(const LineSettings&) const = default;
};

// "9600 N 8 1": the caption of the settings button.
std::string LineSettingsCaption(const LineSettings& settings);

// Bytes per second on the line: characters per second times data bits / 8,
// rounded to the nearest integer.
uint32_t BytesPerSecond(const LineSettings& settings);
// Time in ms to transmit n bytes, rounded.
uint32_t TransmissionTimeMs(const LineSettings& settings, uint32_t bytes);
// Bytes transmitted in t ms, rounded.
uint32_t BytesInTimeMs(const LineSettings& settings, uint32_t ms);

// The frame gap: the silence on the line that ends a received frame, and the
// least pause between two frames sent (a link component's TimeOut).
//
// The gap a link chooses from its line when it is automatic:
// kAutoFrameGapCharacters character times (start, data, parity and stop
// bits) rounded up to whole ms, at least 1 ms, plus the latency the transport
// itself adds between bytes of one reply (a USB converter's latency timer).
// A device's reply arrives back to back, so a few character times of silence
// mean it has ended; 50 ms would cost most of the line at 115200 baud. At 300
// baud this is 100 ms, more than the standard gap.
constexpr uint32_t kAutoFrameGapCharacters = 3;
uint16_t AutoFrameGapMs(const LineSettings& settings, uint32_t transportLatencyMs = 0);
// The fixed gap devices that need a pause between frames get ("standard").
constexpr uint16_t kStandardFrameGapMs = 50;

// The frame gap a link is to use: chosen by the link from its line
// (automatic) or fixed in ms.
struct FrameGapChoice {
  bool automatic = true;
  uint16_t ms = 0;  // fixed gap, 1..1000; unused when automatic

  static FrameGapChoice Auto() { return {}; }
  static FrameGapChoice Fixed(uint16_t ms) { return {false, ms}; }
  static FrameGapChoice Standard() { return Fixed(kStandardFrameGapMs); }
  bool operator==(const FrameGapChoice&) const = default;
};

// The status of a link, numbered 0..9 as the link components report it,
// and its texts in the current Language.
enum class TLinkStatus : uint8_t {
  Connected = 0,
  Disconnected = 1,
  CommunicationLost = 2,
  FrameError = 3,
  CommunicationError = 4,
  DataError = 5,
  AccessDenied = 6,
  Busy = 7,
  PortNotFound = 8,
  PortError = 9,
};
std::string_view StatusText(TLinkStatus status);
std::string_view StatusText(TLinkStatus status, uint8_t language);
// The USB link's texts: the same, except 9 "Port USB error".
std::string_view UsbStatusText(TLinkStatus status, uint8_t language);
std::string_view UsbStatusText(TLinkStatus status);

// "żaden" / "none" by the given language.
std::string_view NoneText(uint8_t language);
// True when the name is "żaden" or "none" in any letter case, whatever the language.
bool IsNoneName(std::string_view name);

}  // namespace quorvel
