// The reason a system call gave for failing (an errno value), as a user
// reads it in the program's language.
#pragma once

#include <string>

namespace quorvel {

// "permission denied" / "odmowa dostępu" and so on for the errors a file
// access meets; any other error gives the system's own (English) text.
std::string SystemErrorText(int error);

// "reading failed: " and the reason, for a read that failed with the error.
std::string ReadFailedText(int error);

}  // namespace quorvel
