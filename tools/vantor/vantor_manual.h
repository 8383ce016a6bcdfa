// The monitor's texts about itself: its usage, which --help prints, and the
// manual page made of that usage and the parts only the manual has
// (ManualPage's plain way). Both follow the program's Language.
#pragma once

#include <string>

#include "app/man_page.h"

namespace quorvel {

// The usage, as --help prints it.
std::string VantorUsage();

// The manual page.
ManualPage VantorManual();

}  // namespace quorvel
