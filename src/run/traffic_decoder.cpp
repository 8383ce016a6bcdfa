#include "run/traffic_decoder.h"

#include <algorithm>
#include <cstdio>

#include "app/globals.h"
#include "app/text_utils.h"
#include "datafile/utilities.h"
#include "run/bus_frames.h"

namespace quorvel {

namespace {

constexpr TextPair kConnect{"połączenie", "connect"};
constexpr TextPair kReadInfo{"odczyt danych urządzenia", "read device information"};
constexpr TextPair kErase{"kasowanie pamięci programu, urządzenie nr %s",
                          "erase program memory, device no %s"};
constexpr TextPair kWrite{"zapis bloku pod adres %s, %s bajtów, CRC %s",
                          "write block at %s, %s bytes, CRC %s"};
constexpr TextPair kEraseShort{"kasowanie pamięci programu", "erase program memory"};
constexpr TextPair kWriteShort{"zapis bloku", "write block"};
constexpr TextPair kCrcRight{"poprawne", "correct"};
constexpr TextPair kCrcWrong{"błędne (%s zamiast %s)", "wrong (%s instead of %s)"};
constexpr TextPair kReset{"reset", "reset"};
constexpr TextPair kBootCommand{"polecenie bootloader'a %s", "bootloader command %s"};
constexpr TextPair kBadLength{" (niewłaściwa długość: %s bajtów)", " (wrong length: %s bytes)"};
constexpr TextPair kPositive{"odpowiedź pozytywna: %s", "positive reply: %s"};
constexpr TextPair kDeviceInfo{
    "urządzenie nr %s, bootloader %s, kod urządzenia %s, blok %s bajtów, protokół %s",
    "device no %s, bootloader %s, device code %s, block size %s bytes, protocol %s"};
constexpr TextPair kBlockWritten{"zapisano blok %s", "block %s written"};
constexpr TextPair kIncompleteReply{"niepełna odpowiedź (%s bajtów)",
                                    "incomplete reply (%s bytes)"};
constexpr TextPair kNegative{"odpowiedź negatywna: %s", "negative reply: %s"};
constexpr TextPair kEraseFailed{"kasowanie nie powiodło się", "erase failed"};
constexpr TextPair kWriteFailed{"zapis nie powiódł się", "write failed"};
constexpr TextPair kErrorCode{"błąd %s", "error %s"};
constexpr TextPair kIdentifyRequest{"zapytanie o identyfikację", "identify request"};
constexpr TextPair kIdentifyReply{"odpowiedź na identyfikację", "identify reply"};
constexpr TextPair kAppVersion{", wersja aplikacji %s", ", application version %s"};
constexpr TextPair kBootRequest{"żądanie przejścia do bootloader'a", "enter-bootloader request"};
constexpr TextPair kBootReply{"odpowiedź na żądanie przejścia do bootloader'a",
                              "enter-bootloader reply"};
constexpr TextPair kAppFrame{"ramka aplikacji, adres %s, polecenie %s, %s bajtów danych",
                             "application frame, address %s, command %s, %s data bytes"};
constexpr TextPair kEcho{"echo", "echo"};
constexpr TextPair kPartialEcho{"echo (część)", "echo (part)"};
constexpr TextPair kNoise{"szum, %s bajtów", "noise, %s bytes"};
constexpr TextPair kUnknownSent{"nieznane bajty, %s", "unknown bytes, %s"};

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

std::string Decimal(uint64_t value) {
  return std::to_string(value);
}

std::string SerialNumber(uint16_t part1, uint16_t part2) {
  return Decimal(part1) + "/" + Decimal(part2);
}

std::string CommandName(uint8_t code) {
  switch (code) {
    case kBootConnect: return kConnect.str();
    case kBootReadInfo: return kReadInfo.str();
    case kBootErase: return kEraseShort.str();
    case kBootWrite: return kWriteShort.str();
    case kBootReset: return kReset.str();
    default: return FormatText(kBootCommand.text(), {Decimal(code)});
  }
}

// Length of a complete user-application frame at the front of `bytes`, or
// 0: the start byte, a length of at least 6 that fits, and the end byte.
size_t AppFrameAtFront(std::span<const uint8_t> bytes) {
  if (bytes.size() < kAppFrameMinLength || bytes[0] != kAppFrameStart) return 0;
  const size_t length = WireU16(bytes, 1);
  if (length < kAppFrameMinLength || length > bytes.size()) return 0;
  return bytes[length - 1] == kAppFrameEnd ? length : 0;
}

// Whether the bytes are the start of a user-application frame whose end has
// not arrived yet.
bool AppFrameMayGoOn(std::span<const uint8_t> bytes) {
  const size_t length = WireU16(bytes, 1);
  return length >= kAppFrameMinLength && length > bytes.size();
}

bool IsReplyStart(uint8_t byte) {
  return byte == kBootPositive || byte == kBootNegative || byte == kAppFrameStart;
}

}  // namespace

TrafficDecoder::TrafficDecoder(std::optional<TDevAvailData> row) : row_(std::move(row)) {}

std::string TrafficDecoder::Describe(TrafficDirection direction, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return {};
  if (direction == TrafficDirection::Received) return DescribeReceived(bytes);
  std::string text = DescribeSent(bytes);
  lastSent_.assign(bytes.begin(), bytes.end());
  echoed_ = 0;
  pending_.clear();
  return text;
}

std::string TrafficDecoder::DescribeSent(std::span<const uint8_t> bytes) {
  if (const size_t frame = AppFrameAtFront(bytes); frame == bytes.size()) {
    return DescribeAppFrame(bytes, false);
  }
  if (bytes.size() < 2 || bytes[0] != kBootCommandPrefix) {
    return FormatText(kUnknownSent.text(), {Decimal(bytes.size())});
  }
  const uint8_t code = bytes[1];
  lastCommand_ = code;
  auto checked = [&](std::string text, size_t expected) {
    if (bytes.size() != expected) text += FormatText(kBadLength.text(), {Decimal(bytes.size())});
    return text;
  };
  switch (code) {
    case kBootConnect: return checked(kConnect.str(), 2);
    case kBootReadInfo: return checked(kReadInfo.str(), 2);
    case kBootReset: return checked(kReset.str(), 2);
    case kBootErase:
      if (bytes.size() < 6) return checked(CommandName(code), 6);
      return checked(FormatText(kErase.text(), {SerialNumber(WireU16(bytes, 2), WireU16(bytes, 4))}),
                     6);
    case kBootWrite: {
      // 0xB0 0x04, two identity words, the address, the block, the CRC.
      if (bytes.size() < 12) return checked(CommandName(code), 12);
      const auto addressAndBlock = bytes.subspan(6, bytes.size() - 8);
      const uint16_t sent = WireU16(bytes, bytes.size() - 2);
      const uint16_t computed =
          CalcCRC16(addressAndBlock.data(), static_cast<int64_t>(addressAndBlock.size()), 0xFFFF);
      const std::string crc = sent == computed
                                  ? kCrcRight.str()
                                  : FormatText(kCrcWrong.text(), {Hex(sent, 4), Hex(computed, 4)});
      return FormatText(kWrite.text(),
                        {Hex(WireU32(bytes, 6), 8), Decimal(addressAndBlock.size() - 4), crc});
    }
    default: return FormatText(kBootCommand.text(), {Decimal(code)});
  }
}

std::string TrafficDecoder::DescribeReceived(std::span<const uint8_t> bytes) {
  std::string out;
  auto add = [&out](const std::string& item) {
    if (!out.empty()) out += "; ";
    out += item;
  };
  std::span<const uint8_t> rest = bytes;
  // A line that hears its own transmission gives the block sent first,
  // often over several chunks.
  if (echoed_ < lastSent_.size()) {
    const auto awaited = std::span<const uint8_t>(lastSent_).subspan(echoed_);
    const size_t n = std::min(rest.size(), awaited.size());
    if (std::equal(rest.begin(), rest.begin() + static_cast<ptrdiff_t>(n), awaited.begin())) {
      echoed_ += n;
      add(echoed_ == lastSent_.size() ? kEcho.str() : kPartialEcho.str());
      rest = rest.subspan(n);
    } else {
      echoed_ = lastSent_.size();  // no echo (or no more of it) on this line
    }
  }
  // The start of a reply cut at the end of the chunk before.
  std::vector<uint8_t> joined;
  if (!pending_.empty() && !rest.empty()) {
    joined = std::move(pending_);
    pending_.clear();
    joined.insert(joined.end(), rest.begin(), rest.end());
    rest = joined;
  }
  while (!rest.empty()) {
    std::string item;
    const size_t taken = DescribeReplyItem(rest, item);
    add(item);
    rest = rest.subspan(taken);
  }
  return out;
}

size_t TrafficDecoder::DescribeReplyItem(std::span<const uint8_t> rest, std::string& out) {
  if (const size_t frame = AppFrameAtFront(rest); frame > 0) {
    out = DescribeAppFrame(rest.first(frame), true);
    return frame;
  }
  if (rest[0] == kBootNegative && rest.size() >= 2) {
    const uint8_t error = rest[1];
    const std::string reason = error == kBootErrorErase   ? kEraseFailed.str()
                               : error == kBootErrorWrite ? kWriteFailed.str()
                                                          : FormatText(kErrorCode.text(), {Decimal(error)});
    out = FormatText(kNegative.text(), {reason});
    return 2;
  }
  if (rest[0] == kBootPositive && rest.size() >= 2) {
    // The engine reads a positive reply by the command it sent last, not by
    // the reply's own second byte; so does the monitor.
    const uint32_t expected = ExpectedReplyLength(lastCommand_);
    if (expected == 0) {
      out = FormatText(kIncompleteReply.text(), {Decimal(rest.size())});
      return rest.size();
    }
    if (rest.size() < expected) return KeepIncomplete(rest, out);
    const auto reply = rest.first(expected);
    std::string what;
    if (lastCommand_ == kBootReadInfo) {
      const std::optional<DeviceInfo> info = ParseDeviceInfo(reply);
      if (info) {
        std::string code = Decimal(info->DeviceCode);
        if (const std::string name = DeviceNameOf(info->DeviceCode); !name.empty()) {
          code += " (" + PrintableText(name) + ")";
        }
        what = FormatText(kDeviceInfo.text(),
                          {SerialNumber(info->SerialPart1, info->SerialPart2),
                           PrintableText(info->BootVersion), code, Decimal(info->BlockSize),
                           Decimal(info->ProtocolVersion)});
      } else {
        what = kReadInfo.str();
      }
    } else if (lastCommand_ == kBootWrite) {
      what = FormatText(kBlockWritten.text(), {Hex(WireU32(reply, 2), 8)});
    } else {
      what = CommandName(lastCommand_);
    }
    out = FormatText(kPositive.text(), {what});
    return expected;
  }
  if (rest.size() == 1 && IsReplyStart(rest[0])) return KeepIncomplete(rest, out);
  if (rest[0] == kAppFrameStart && (rest.size() < 3 || AppFrameMayGoOn(rest))) {
    return KeepIncomplete(rest, out);
  }
  // Anything else up to the next byte that may start a reply is noise.
  size_t noise = 1;
  while (noise < rest.size() && !IsReplyStart(rest[noise])) ++noise;
  out = FormatText(kNoise.text(), {Decimal(noise)});
  return noise;
}

size_t TrafficDecoder::KeepIncomplete(std::span<const uint8_t> rest, std::string& out) {
  // Kept for the next chunk, within what the longest frame can hold.
  if (rest.size() <= kMaxPending) pending_.assign(rest.begin(), rest.end());
  out = FormatText(kIncompleteReply.text(), {Decimal(rest.size())});
  return rest.size();
}

std::string TrafficDecoder::DescribeAppFrame(std::span<const uint8_t> frame, bool reply) const {
  const uint8_t address = frame[3];
  // A reply's address byte is its request's plus 0x80. Without a row, the
  // addresses every device type with a user application uses.
  const uint8_t offset = reply ? 0x80 : 0;
  const uint8_t identify = row_ ? row_->AppAddrIdentify : 0x01;
  const bool identifyAddress = address == static_cast<uint8_t>(identify + offset);
  const bool bootAddress =
      row_ ? row_->AppAddrBoot != 0 && address == static_cast<uint8_t>(row_->AppAddrBoot + offset)
           : address == static_cast<uint8_t>(0x66 + offset) ||
                 address == static_cast<uint8_t>(0x5F + offset);
  if (identifyAddress) {
    if (!reply) return kIdentifyRequest.str();
    const bool rs485 = row_ && row_->DevCode == 11 && row_->Rs485 == 1;
    std::string text = kIdentifyReply.str();
    if (const auto version = AppVersionFromIdentify(frame, rs485 ? 10 : 5)) {
      text += FormatText(kAppVersion.text(), {PrintableText(*version)});
    }
    return text;
  }
  if (bootAddress) return reply ? kBootReply.str() : kBootRequest.str();
  return FormatText(kAppFrame.text(),
                    {Hex(address, 2), Hex(frame[4], 2), Decimal(frame.size() - 6)});
}

}  // namespace quorvel
