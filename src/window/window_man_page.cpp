// Writes the manual page of a window edition when the program is built:
// the edition (0 quorvel, 1 quorvel-kmb), the language ("pl" or "en") and
// the file to write.
#include <cstdio>
#include <string_view>

#include "app/globals.h"
#include "app/man_page.h"
#include "window/window_manual.h"

int main(int argc, char** argv) {
  using namespace quorvel;
  if (argc != 4) {
    std::fputs("usage: window_man_page 0|1 pl|en FILE\n", stderr);
    return 2;
  }
  Edition = std::string_view(argv[1]) == "1" ? 1 : 0;
  Language = std::string_view(argv[2]) == "pl" ? 0 : 1;
  const bool written =
      WriteManPage(argv[3], WindowManual(), "Quorvel " QUORVEL_VERSION, QUORVEL_RELEASE_DATE);
  return written ? 0 : 1;
}
