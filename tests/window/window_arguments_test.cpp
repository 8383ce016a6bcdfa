// The window program's command line: --help and --version win wherever
// they stand before "--", anything else that looks like an option is a
// problem, and the remaining words are the files to open.
#include "window/window_arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel {
namespace {

TEST(WindowArguments, EachCallAsksForWhatItSays) {
  using Ask = WindowArguments::Ask;
  struct Case {
    std::vector<std::string> words;
    Ask ask;
    std::vector<std::string> files;
    std::string problem;
  };
  const std::vector<Case> cases = {
      {{}, Ask::Window, {}, ""},
      {{"fw.qvl", "/abs/b.hex"}, Ask::Window, {"fw.qvl", "/abs/b.hex"}, ""},
      {{"--help"}, Ask::Help, {}, ""},
      {{"-h"}, Ask::Help, {}, ""},
      {{"fw.qvl", "--help"}, Ask::Help, {}, ""},
      {{"--version"}, Ask::Version, {}, ""},
      {{"--bogus", "fw.qvl"}, Ask::Problem, {}, "--bogus"},
      {{"--version=3"}, Ask::Problem, {}, "--version=3"},
      // A file whose name starts with "-" follows "--".
      {{"--", "--help", "-x.qvl"}, Ask::Window, {"--help", "-x.qvl"}, ""},
  };
  for (const Case& c : cases) {
    std::string call;
    for (const std::string& word : c.words) call += word + " ";
    SCOPED_TRACE(call);
    const WindowArguments parsed = ParseWindowArguments(c.words);
    EXPECT_EQ(parsed.ask, c.ask);
    EXPECT_EQ(parsed.files, c.files);
    EXPECT_EQ(parsed.problem, c.problem);
  }
}

// A word the program does not know is told before the toolkit starts, and
// so without a display, unless the toolkit may still take it.
TEST(WindowArguments, OnlyTheToolkitsOwnWordsWaitForTheToolkit) {
  struct Case {
    std::string word;
    bool toolkit;
  };
  const std::vector<Case> cases = {
      {"--platform", true},     {"--style=fusion", true}, {"--reverse", true},
      {"--bogus", false},       {"--styles", false},      {"-platform", false},
      {"--plat", false},        {"platform", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToolkitMayTake(c.word), c.toolkit) << c.word;
  }
}

}  // namespace
}  // namespace quorvel
