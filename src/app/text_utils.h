// Case-insensitive text comparison for the program's own texts (ASCII and the
// Polish letters), independent of the process locale.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace quorvel {

// Lower-case form of a UTF-8 text: ASCII letters and the Polish letters
// Ą Ć Ę Ł Ń Ó Ś Ź Ż; every other byte stays as it is.
std::string LowerText(std::string_view text);

// Upper-case counterpart of LowerText.
std::string UpperText(std::string_view text);

// True when both texts are equal ignoring the letter case.
bool SameTextNoCase(std::string_view a, std::string_view b);

// Negative, 0 or positive as a is ordered before, with, or after b ignoring case.
int CompareTextNoCase(std::string_view a, std::string_view b);

// The pattern with each "%s" replaced by the next argument, in order; a "%s"
// without an argument is left as it is.
std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> args);

// Number of characters (code points) of a UTF-8 text.
int Utf8Length(std::string_view text);

}  // namespace quorvel
