// The window program's texts about itself: its usage, which --help prints,
// and the manual page made of that usage and the parts only the manual has
// (ManualPage's plain way). Both follow the program's Language and Edition.
#pragma once

#include <string>

#include "app/man_page.h"

namespace quorvel {

// The program's file name: "quorvel" or "quorvel-kmb" by Edition.
std::string WindowProgramFile();

// The usage, as --help prints it.
std::string WindowUsage();

// "Try 'quorvel --help'.": the line after a problem with the arguments.
std::string WindowTryHelp();

// The manual page.
ManualPage WindowManual();

}  // namespace quorvel
