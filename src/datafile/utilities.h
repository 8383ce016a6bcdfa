// CRC-16/MODBUS, version texts and the shortened display form of a path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/prompt.h"

namespace quorvel {

// CRC-16/MODBUS (reflected polynomial 0xA001, no final XOR) over length bytes,
// starting from startValue; a length of 0 or less returns startValue. Passing
// the result of one call as the start of the next continues the CRC over the
// concatenated bytes.
uint16_t CalcCRC16(const uint8_t* bytes, int64_t length, uint16_t startValue);

// Version text trimmed to digits at both ends; "0.0" when nothing is left; a
// text without "." becomes major "." minor (so "2 74" gives "2.74").
std::string NormalizeVer(std::string_view text);

// Major number of a version text: the part of NormalizeVer's result before
// the first ".", trimmed to digits, as an integer (0 when empty; the leading
// digit run when non-digits remain inside; saturated at 0xFFFFFFFF).
uint32_t MajorVersion(std::string_view text);

// Sign of major(a) - major(b) after normalising both: -1, 0 or 1.
int CompareVer(std::string_view a, std::string_view b);

using TVerArray = std::vector<uint32_t>;

// Compares every number of two dotted version texts in turn: -1, 0 or 1.
int CompareVerArray(std::string_view a, std::string_view b);

// The text names a version CompareVerArray can compare: at least one number,
// each a non-negative 32-bit signed one. A text without numbers compares
// equal to "0", one with a number too large as smaller than any other, so
// neither says which version it is.
bool VersionParses(std::string_view text);

// Width of a text in the caller's units (pixels of a font, or characters).
using TextWidthFn = std::function<int(std::string_view)>;

// The path as it fits into widthLimit: "..." inserted after the first ":\"
// (or after the leading "\\" of a network path, or at the start) and the
// characters after it removed until the text fits.
std::string ShortenPath(const std::string& path, const TextWidthFn& textWidth, int widthLimit);

// ShortenPath of a path for a message of the current prompt.
std::string DisplayPath(const std::string& path);

// ShortenPath of a path for a message of `prompt`, measured in its font.
std::string DisplayPath(const std::string& path, const Prompt& prompt);

}  // namespace quorvel
