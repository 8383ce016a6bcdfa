#include "app/text_utils.h"

#include <array>
#include <cstdint>
#include <utility>

namespace quorvel {
namespace {

// Upper-case and lower-case UTF-8 forms of the Polish letters.
constexpr std::array<std::pair<std::string_view, std::string_view>, 9> kPolishLetters{{
    {"\xC4\x84", "\xC4\x85"},  // Ą ą
    {"\xC4\x86", "\xC4\x87"},  // Ć ć
    {"\xC4\x98", "\xC4\x99"},  // Ę ę
    {"\xC5\x81", "\xC5\x82"},  // Ł ł
    {"\xC5\x83", "\xC5\x84"},  // Ń ń
    {"\xC3\x93", "\xC3\xB3"},  // Ó ó
    {"\xC5\x9A", "\xC5\x9B"},  // Ś ś
    {"\xC5\xB9", "\xC5\xBA"},  // Ź ź
    {"\xC5\xBB", "\xC5\xBC"},  // Ż ż
}};

std::string MapCase(std::string_view text, bool toLower) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    bool mapped = false;
    if (i + 1 < text.size()) {
      std::string_view two = text.substr(i, 2);
      for (const auto& [upper, lower] : kPolishLetters) {
        if (two == (toLower ? upper : lower)) {
          out += toLower ? lower : upper;
          i += 2;
          mapped = true;
          break;
        }
      }
    }
    if (mapped) continue;
    char c = text[i++];
    if (toLower && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (!toLower && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    out += c;
  }
  return out;
}

}  // namespace

std::string LowerText(std::string_view text) {
  return MapCase(text, true);
}
std::string UpperText(std::string_view text) {
  return MapCase(text, false);
}

bool SameTextNoCase(std::string_view a, std::string_view b) {
  return LowerText(a) == LowerText(b);
}

int CompareTextNoCase(std::string_view a, std::string_view b) {
  return LowerText(a).compare(LowerText(b));
}

std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> args) {
  std::string out;
  auto next = args.begin();
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 's' &&
        next != args.end()) {
      out += *next++;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

int Utf8Length(std::string_view text) {
  int count = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

size_t Utf8SequenceLength(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t first = byte(at);
  size_t length = 0;
  uint32_t value = 0;
  if (first < 0x80) return 1;
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2;
    value = first & 0x1F;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3;
    value = first & 0x0F;
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4;
    value = first & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(at + i) & 0x3F);
  }
  if ((length == 3 && value < 0x800) || (length == 4 && value < 0x10000) || value > 0x10FFFF ||
      (value >= 0xD800 && value <= 0xDFFF)) {
    return 0;
  }
  return length;
}

std::string PrintableText(std::string_view text) {
  std::string printable;
  printable.reserve(text.size());
  const auto escape = [&printable](std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char c : bytes) {
      const auto byte = static_cast<uint8_t>(c);
      printable.append("\\x").append(1, kHex[byte >> 4]).append(1, kHex[byte & 0x0F]);
    }
  };
  for (size_t i = 0; i < text.size();) {
    const size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {  // a byte that is not UTF-8
      escape(text.substr(i++, 1));
      continue;
    }
    const std::string_view sequence = text.substr(i, length);
    i += length;
    const auto first = static_cast<uint8_t>(sequence[0]);
    const bool control = first < 0x20 || first == 0x7F ||
                         (first == 0xC2 && static_cast<uint8_t>(sequence[1]) < 0xA0);
    if (control) {
      escape(sequence);
    } else {
      printable.append(sequence);
    }
  }
  return printable;
}

}  // namespace quorvel
