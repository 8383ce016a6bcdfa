// Writes quorvel-sim's manual page when the simulator is built: the language
// (the simulator speaks English only: "en") and the file to write.
#include <cstdio>

#include "app/man_page.h"
#include "sim/sim_manual.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: sim_man_page en FILE\n", stderr);
    return 2;
  }
  const bool written = quorvel::WriteManPage(argv[2], quorvel::sim::SimManual(QUORVEL_DATA_DIR),
                                             "Quorvel " QUORVEL_VERSION, QUORVEL_RELEASE_DATE);
  return written ? 0 : 1;
}
