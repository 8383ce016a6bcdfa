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

// Length of the UTF-8 sequence at `at`, or 0 when the bytes there are not
// one (overlong forms, surrogates and values above U+10FFFF included).
size_t Utf8SequenceLength(std::string_view text, size_t at);

// The text as a terminal shows it without harm: every control character
// (C0, DEL and C1, U+0080..U+009F) and every byte that is not part of UTF-8
// is written as \xNN, byte by byte, so that a name cannot move the cursor,
// change colours or garble what follows it.
std::string PrintableText(std::string_view text);

}  // namespace quorvel
