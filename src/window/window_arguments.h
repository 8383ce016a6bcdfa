// The window program's command line: --help and --version, or the data
// files to open (see WindowUsage).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvel {

struct WindowArguments {
  enum class Ask : uint8_t { Window, Help, Version, Problem };
  Ask ask = Ask::Window;
  // Ask::Window: the data files named, as given.
  std::vector<std::string> files;
  // Ask::Problem: the argument that is not understood.
  std::string problem;
};

// The words after the program's name. The toolkit's own options (-platform,
// --style, ...) are not known here: the window's toolkit takes them out
// first, so --help and --version are looked for once more in the words it
// left (--help must not need a display).
WindowArguments ParseWindowArguments(const std::vector<std::string>& words);

// Whether an argument that is not the program's own may be one of the
// toolkit's ("--style=fusion", "--platform"): such a word is only a problem
// once the toolkit has left it. Any other is one at once, before the
// toolkit wants a display.
bool ToolkitMayTake(const std::string& word);

}  // namespace quorvel
