// quorvel-sim's manual page: its usage, word for word as --help prints it
// (SimUsage), and the parts only the manual has. The simulator speaks
// English only.
#pragma once

#include <string_view>

#include "app/man_page.h"

namespace quorvel::sim {

// dataDir: where the installed programs keep their data (the sample
// firmware).
ManualPage SimManual(std::string_view dataDir);

}  // namespace quorvel::sim
