// Program-wide switches and the bilingual text pair.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel {

// 0 = Polish, 1 = English. Every user-visible text is a pair picked by it.
extern uint8_t Language;
// 0 = maker edition "Quorvel", 1 = distributor edition "QuorvelKMB".
extern uint8_t Edition;

// A user-visible text in both languages, used exactly as given.
struct TextPair {
  std::string_view pl;
  std::string_view en;
  std::string_view text() const { return Language == 0 ? pl : en; }
  std::string str() const { return std::string(text()); }
};

// "Quorvel" or "QuorvelKMB" by Edition.
std::string_view ProgramName();

// Language byte for a POSIX locale name such as "pl_PL.UTF-8": Polish gives
// 0, every other language (or none) gives 1.
uint8_t LanguageFromLocaleName(std::string_view locale);

// Language byte from the environment (LC_ALL, LC_MESSAGES, LANG in that order).
uint8_t LanguageFromEnvironment();

}  // namespace quorvel
