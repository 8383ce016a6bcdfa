#include "app/text_utils.h"

#include <array>
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

}  // namespace quorvel
