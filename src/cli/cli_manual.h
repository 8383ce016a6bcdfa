// quorvel-cli's texts about itself: its usage, which --help prints, and
// the manual page made of that usage and the parts only the manual has
// (ManualPage's plain way).
#pragma once

#include <string>
#include <string_view>

#include "app/man_page.h"

namespace quorvel {

// The usage in the program's Language, as --help prints it.
std::string_view CliUsage();

// The manual page in the program's Language; dataDir: where the installed
// program keeps its data (the sample firmware).
ManualPage CliManual(std::string_view dataDir);

}  // namespace quorvel
