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

TEST(Globals, LanguageFollowsThePolishLocaleOnly) {
  EXPECT_EQ(LanguageFromLocaleName("pl_PL.UTF-8"), 0);
  EXPECT_EQ(LanguageFromLocaleName("en_US.UTF-8"), 1);
  EXPECT_EQ(LanguageFromLocaleName("de_DE"), 1);
  EXPECT_EQ(LanguageFromLocaleName("C"), 1);
}

}  // namespace
}  // namespace quorvel
