// The received program memory as an Intel HEX text.
#pragma once

#include <string>

#include "sim/flash_memory.h"

namespace quorvel::sim {

// Data records (type 00, at most 16 bytes each) of every written byte in
// ascending address order; unwritten gaps get no records. An extended
// linear address record (type 04) precedes the first record of every 64 KiB
// segment above segment 0; no record crosses a segment boundary. Ends with
// the end-of-file record. Lines end with "\n".
std::string FormatIntelHex(const FlashMemory& flash);

}  // namespace quorvel::sim
