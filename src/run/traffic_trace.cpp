#include "run/traffic_trace.h"

#include <charconv>
#include <cstdio>

#include "app/text_utils.h"

namespace quorvel {

namespace {

constexpr std::string_view kSent = "sent";
constexpr std::string_view kReceived = "received";
constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Splits off the text up to the next tab; false when there is none.
bool NextField(std::string_view& rest, std::string_view& field) {
  const size_t tab = rest.find('\t');
  if (tab == std::string_view::npos) return false;
  field = rest.substr(0, tab);
  rest.remove_prefix(tab + 1);
  return true;
}

// "12.345" (milliseconds, exactly three decimals) as microseconds.
std::optional<int64_t> ParseTime(std::string_view text) {
  const size_t dot = text.find('.');
  if (dot == std::string_view::npos || text.size() - dot - 1 != 3 || dot == 0 || dot > 15) {
    return std::nullopt;
  }
  int64_t whole = 0;
  int64_t fraction = 0;
  const auto w = std::from_chars(text.data(), text.data() + dot, whole);
  const auto f = std::from_chars(text.data() + dot + 1, text.data() + text.size(), fraction);
  if (w.ec != std::errc() || w.ptr != text.data() + dot || f.ec != std::errc() ||
      f.ptr != text.data() + text.size() || text[0] == '-' || text[dot + 1] == '-') {
    return std::nullopt;
  }
  return whole * 1000 + fraction;
}

std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text) {
  // "AB CD EF": three characters per byte but the last.
  if (text.empty() || (text.size() + 1) % 3 != 0 || (text.size() + 1) / 3 > kTraceMaxBlock) {
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  bytes.reserve((text.size() + 1) / 3);
  for (size_t at = 0; at < text.size(); at += 3) {
    const int high = HexValue(text[at]);
    const int low = HexValue(text[at + 1]);
    if (high < 0 || low < 0 || (at + 2 < text.size() && text[at + 2] != ' ')) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

}  // namespace

std::string FormatTraceLine(const TraceRow& row) {
  char time[32];
  std::snprintf(time, sizeof time, "%lld.%03lld",
                static_cast<long long>(row.microseconds / 1000),
                static_cast<long long>(row.microseconds % 1000));
  std::string line = time;
  line += '\t';
  line += PrintableText(row.port);
  line += '\t';
  line += row.direction == TrafficDirection::Sent ? kSent : kReceived;
  line += '\t';
  line.reserve(line.size() + row.bytes.size() * 3 + row.meaning.size() + 2);
  for (size_t i = 0; i < row.bytes.size(); ++i) {
    if (i > 0) line += ' ';
    line += kHexDigits[row.bytes[i] >> 4];
    line += kHexDigits[row.bytes[i] & 0x0F];
  }
  line += '\t';
  line += PrintableText(row.meaning);
  line += '\n';
  return line;
}

std::optional<TraceRow> ParseTraceLine(std::string_view line) {
  if (line.empty() || line[0] == '#') return std::nullopt;
  std::string_view rest = line;
  std::string_view time, port, direction, hex;
  if (!NextField(rest, time) || !NextField(rest, port) || !NextField(rest, direction) ||
      !NextField(rest, hex)) {
    return std::nullopt;
  }
  TraceRow row;
  const auto microseconds = ParseTime(time);
  auto bytes = ParseHexBytes(hex);
  if (!microseconds || !bytes) return std::nullopt;
  if (direction == kSent) {
    row.direction = TrafficDirection::Sent;
  } else if (direction == kReceived) {
    row.direction = TrafficDirection::Received;
  } else {
    return std::nullopt;
  }
  row.microseconds = *microseconds;
  row.port = PrintableText(port);
  row.bytes = std::move(*bytes);
  row.meaning = PrintableText(rest);
  return row;
}

}  // namespace quorvel
