#include "datafile/utilities.h"

#include <algorithm>
#include <array>
#include <limits>

namespace quorvel {
namespace {

// One 256-entry table of the reflected polynomial 0xA001; its high and low
// bytes are the two tables of the MODBUS standard.
constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                           : static_cast<uint16_t>(crc >> 1);
    }
    table[i] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view TrimToDigits(std::string_view text) {
  while (!text.empty() && !IsDigit(text.front())) text.remove_prefix(1);
  while (!text.empty() && !IsDigit(text.back())) text.remove_suffix(1);
  return text;
}

// Number of the leading digit run; saturates instead of overflowing, so an
// absurdly long major part still compares as very large.
uint64_t LeadingNumber(std::string_view text) {
  constexpr uint64_t kCap = std::numeric_limits<uint32_t>::max();
  uint64_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) break;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > kCap) value = kCap;
  }
  return value;
}

// Splits a version text into its digit runs. False (at the first run that is
// not a non-negative 32-bit signed number) when the text cannot be compared.
bool ParseVerArray(std::string_view text, TVerArray& numbers) {
  constexpr uint64_t kMax = std::numeric_limits<int32_t>::max();
  size_t i = 0;
  while (i < text.size()) {
    if (!IsDigit(text[i])) {
      ++i;
      continue;
    }
    uint64_t value = 0;
    bool fits = true;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
      value = value * 10 + static_cast<uint64_t>(text[i] - '0');
      if (value > kMax) {
        fits = false;
        value = kMax;
      }
    }
    if (!fits) return false;
    numbers.push_back(static_cast<uint32_t>(value));
  }
  return true;
}

// Length in bytes of the UTF-8 character that starts at text[pos].
size_t CharLength(std::string_view text, size_t pos) {
  size_t len = 1;
  while (pos + len < text.size() && (static_cast<unsigned char>(text[pos + len]) & 0xC0) == 0x80) {
    ++len;
  }
  return len;
}

}  // namespace

uint16_t CalcCRC16(const uint8_t* bytes, int64_t length, uint16_t startValue) {
  uint16_t crc = startValue;
  for (int64_t i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ bytes[i]) & 0xFF]);
  }
  return crc;
}

std::string NormalizeVer(std::string_view text) {
  std::string_view trimmed = TrimToDigits(text);
  if (trimmed.empty()) return "0.0";
  if (trimmed.find('.') != std::string_view::npos) return std::string(trimmed);
  size_t majorEnd = 0;
  while (majorEnd < trimmed.size() && IsDigit(trimmed[majorEnd])) ++majorEnd;
  size_t minorStart = majorEnd;
  while (minorStart < trimmed.size() && !IsDigit(trimmed[minorStart])) ++minorStart;
  std::string result(trimmed.substr(0, majorEnd));
  result += '.';
  result += trimmed.substr(minorStart);
  return result;
}

uint32_t MajorVersion(std::string_view text) {
  std::string normalized = NormalizeVer(text);
  std::string_view major = normalized;
  major = major.substr(0, major.find('.'));
  return static_cast<uint32_t>(LeadingNumber(TrimToDigits(major)));
}

int CompareVer(std::string_view a, std::string_view b) {
  uint32_t majorA = MajorVersion(a);
  uint32_t majorB = MajorVersion(b);
  return majorA > majorB ? 1 : (majorA < majorB ? -1 : 0);
}

bool VersionParses(std::string_view text) {
  TVerArray numbers;
  return ParseVerArray(text, numbers) && !numbers.empty();
}

int CompareVerArray(std::string_view a, std::string_view b) {
  TVerArray numbersA;
  TVerArray numbersB;
  if (!ParseVerArray(a, numbersA)) return -1;
  if (!ParseVerArray(b, numbersB)) return 1;
  size_t count = std::max(numbersA.size(), numbersB.size());
  numbersA.resize(count, 0);
  numbersB.resize(count, 0);
  for (size_t i = 0; i < count; ++i) {
    if (numbersA[i] != numbersB[i]) return numbersA[i] > numbersB[i] ? 1 : -1;
  }
  return 0;
}

std::string ShortenPath(const std::string& path, const TextWidthFn& textWidth, int widthLimit) {
  if (textWidth(path) <= widthLimit) return path;
  size_t insertAt = 0;
  if (size_t drive = path.find(":\\"); drive != std::string::npos) {
    insertAt = drive + 2;
  } else if (path.starts_with("\\\\")) {
    insertAt = 2;
  }
  // The characters after the "..." go from the front, as few as will do.
  // A path may be as long as a file holds (a history entry of 64K
  // characters): the count is searched for, not tried one by one.
  const std::string head = path.substr(0, insertAt) + "...";
  std::vector<size_t> cuts;  // where the tail may start: whole characters
  for (size_t at = insertAt; at < path.size(); at += CharLength(path, at)) cuts.push_back(at);
  cuts.push_back(path.size());
  auto shortened = [&](size_t cut) { return head + path.substr(cuts[cut]); };
  size_t fits = cuts.size() - 1;  // nothing left of the tail: the last resort
  size_t low = 0;
  while (low < fits) {
    const size_t middle = low + (fits - low) / 2;
    if (textWidth(shortened(middle)) <= widthLimit) {
      fits = middle;
    } else {
      low = middle + 1;
    }
  }
  return shortened(fits);
}

std::string DisplayPath(const std::string& path) {
  return DisplayPath(path, CurrentPrompt());
}

std::string DisplayPath(const std::string& path, const Prompt& prompt) {
  return ShortenPath(
      path, [&prompt](std::string_view text) { return prompt.TextWidth(text); },
      prompt.PathWidthLimit());
}

}  // namespace quorvel
