#include "app/globals.h"

#include <cstdlib>

namespace quorvel {

uint8_t Language = 1;
uint8_t Edition = 0;

std::string_view ProgramName() {
  return Edition == 0 ? "Quorvel" : "QuorvelKMB";
}

uint8_t LanguageFromLocaleName(std::string_view locale) {
  return locale.substr(0, 2) == "pl" ? 0 : 1;
}

uint8_t LanguageFromEnvironment() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return LanguageFromLocaleName(value);
  }
  return 1;
}

}  // namespace quorvel
