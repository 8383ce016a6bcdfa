#include "app/save_name.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace quorvel {
namespace {

TEST(EffectiveSaveName, CompletesTheFilterExtension) {
  struct Case {
    const char* typed;
    const char* extension;
    const char* expected;  // relative to /tmp/q
  };
  const Case cases[] = {
      {"/tmp/q/fw", "qvl", "/tmp/q/fw.qvl"},
      {"/tmp/q/fw.bin", "qvl", "/tmp/q/fw.bin.qvl"},
      {"/tmp/q/fw.bin", "", "/tmp/q/fw.bin"},
      {"/tmp/q/fw.QVL", "qvl", "/tmp/q/fw.QVL"},
      {"/tmp/q/fw.", "qvl", "/tmp/q/fw.qvl"},
      {"/tmp/q/2024 03 07 Quorvel.log", "log", "/tmp/q/2024 03 07 Quorvel.log"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EffectiveSaveName(c.typed, c.extension), c.expected) << c.typed;
  }
}

TEST(EffectiveSaveName, RelativeNamesBecomeFullPaths) {
  const std::string name = EffectiveSaveName("fw", "qvl");
  EXPECT_EQ(name, (std::filesystem::current_path() / "fw.qvl").string());
}

TEST(EffectiveSaveName, NameWithoutNamePartIsEmpty) {
  EXPECT_EQ(EffectiveSaveName("/tmp/q/", "qvl"), "");
  EXPECT_EQ(EffectiveSaveName("", "qvl"), "");
}

}  // namespace
}  // namespace quorvel
