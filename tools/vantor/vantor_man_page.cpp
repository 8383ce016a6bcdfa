// Writes the monitor's manual page when the program is built: the language
// ("pl" or "en") and the file to write.
#include <cstdio>
#include <string_view>

#include "app/globals.h"
#include "app/man_page.h"
#include "vantor/vantor_manual.h"

int main(int argc, char** argv) {
  using namespace quorvel;
  if (argc != 3) {
    std::fputs("usage: vantor_man_page pl|en FILE\n", stderr);
    return 2;
  }
  Language = std::string_view(argv[1]) == "pl" ? 0 : 1;
  const bool written =
      WriteManPage(argv[2], VantorManual(), "Quorvel " QUORVEL_VERSION, QUORVEL_RELEASE_DATE);
  return written ? 0 : 1;
}
