#include "app/text_utils.h"

#include <gtest/gtest.h>

#include "app/globals.h"

namespace quorvel {
namespace {

TEST(TextUtils, CaseFoldsAsciiAndPolishLetters) {
  EXPECT_EQ(LowerText("ŻADEN Ąę ŁÓDŹ Ść Ń"), "żaden ąę łódź ść ń");
  EXPECT_EQ(UpperText("żaden"), "ŻADEN");
  EXPECT_TRUE(SameTextNoCase("Żaden", "żADEN"));
  EXPECT_FALSE(SameTextNoCase("żaden", "zaden"));
  EXPECT_LT(CompareTextNoCase("abc", "ABD"), 0);
  EXPECT_EQ(CompareTextNoCase("KV-310", "kv-310"), 0);
}

TEST(TextUtils, FormatTextFillsEachPlaceholderInOrder) {
  EXPECT_EQ(FormatText("%s programming %s", {"Device", "was successful."}),
            "Device programming was successful.");
  EXPECT_EQ(FormatText("100%s %s", {"%"}), "100% %s");
  EXPECT_EQ(FormatText("no placeholders", {"x"}), "no placeholders");
}

TEST(TextUtils, CountsCharactersNotBytes) {
  EXPECT_EQ(Utf8Length("żaden"), 5);
  EXPECT_EQ(Utf8Length(""), 0);
}

// Whatever a name holds, what a terminal gets of it moves no cursor and
// changes no colour: control characters and bytes that are not UTF-8 become
// \xNN, text stays as it is.
TEST(TextUtils, PrintableTextEscapesControlsAndBytesThatAreNotUtf8) {
  struct Case {
    std::string text;
    std::string printable;
  };
  const Case cases[] = {
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"zażółć gęślą — ok", "zażółć gęślą — ok"},
      {"red \x1b[31mtext", "red \\x1b[31mtext"},
      {"tab\tline\nreturn\r", "tab\\x09line\\x0areturn\\x0d"},
      {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f"},
      {"c1 \xC2\x9B"
       "2J",
       "c1 \\xc2\\x9b2J"},  // U+009B: a CSI on some terminals
      {"nbsp \xC2\xA0.", "nbsp \xC2\xA0."},
      {"latin1 \xFF\xFE", "latin1 \\xff\\xfe"},
      {"cut \xC5", "cut \\xc5"},
      {"a\\x41", "a\\x41"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.printable);
    EXPECT_EQ(PrintableText(c.text), c.printable);
  }
}

TEST(Globals, LanguageFollowsThePolishLocaleOnly) {
  EXPECT_EQ(LanguageFromLocaleName("pl_PL.UTF-8"), 0);
  EXPECT_EQ(LanguageFromLocaleName("en_US.UTF-8"), 1);
  EXPECT_EQ(LanguageFromLocaleName("de_DE"), 1);
  EXPECT_EQ(LanguageFromLocaleName("C"), 1);
}

}  // namespace
}  // namespace quorvel
