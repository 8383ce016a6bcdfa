// A program's manual page, made of the texts the program prints itself: its
// usage, word for word as --help shows it, between parts only the manual
// has, all written the same plain way. So --help and the manual page never
// tell two stories.
//
// The plain way:
//  - a line at the margin that ends with ":" heads a part ("Exit codes:"),
//    which becomes a section of the page;
//  - other lines at the margin are running text, a blank line ends a
//    paragraph;
//  - a line indented by two blanks starts an item: its term is the text up
//    to two blanks in a row (all of it when there are none), the rest its
//    description; the deeper indented lines after it continue the term
//    while they start with "[" (a command's further options) and the
//    description otherwise;
//  - indented lines after running text or a blank line are an example,
//    shown as they are.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

struct ManualPage {
  std::string program;             // the program's file name: "quorvel-cli"
  std::string summary;             // what it is, for the NAME line
  std::vector<std::string> texts;  // the parts in order, in the plain way
};

// The page in man(7) markup, in section 1, in the program's Language (the
// headings it adds itself). version: "Quorvel 2.74"; date: "2026-12-11".
std::string ManPageText(const ManualPage& page, std::string_view version, std::string_view date);

// Writes the page in its markup to the file at path (the build makes the
// installed pages so); false when the file could not be written.
bool WriteManPage(const std::string& path, const ManualPage& page, std::string_view version,
                  std::string_view date);

// The text escaped for the running text of a page: backslashes and hyphens
// as roff wants them, and a leading "." or "'" kept from being a request.
std::string RoffText(std::string_view text);

}  // namespace quorvel
