// What a user can do about a port that refused access. A port that says
// "Access denied" nearly always wants a group membership, which the status
// text alone does not tell; a port that its group may not use either wants
// its permissions changed instead. The command-line tool prints the advice
// after the run, the window's final message ends with it.
#pragma once

#include <string>

namespace quorvel {

// The advice for the device file at devicePath (a serial port, a
// converter's terminal), from its owner, group and permissions; the usual
// "dialout" group when the file cannot be looked at.
std::string PortAccessAdvice(const std::string& devicePath);

}  // namespace quorvel
