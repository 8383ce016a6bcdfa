#include "datafile/utilities.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvel {
namespace {

const uint8_t* Bytes(std::string_view text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

TEST(CalcCRC16, KnownValues) {
  EXPECT_EQ(CalcCRC16(Bytes("123456789"), 9, 0xFFFF), 0x4B37);
  EXPECT_EQ(CalcCRC16(Bytes("abc"), 3, 0xFFFF), 0x5749);
  EXPECT_EQ(CalcCRC16(Bytes("x"), 0, 0x1234), 0x1234);
  EXPECT_EQ(CalcCRC16(Bytes("x"), -5, 0xBEEF), 0xBEEF);
  EXPECT_EQ(CalcCRC16(nullptr, 0, 0xFFFF), 0xFFFF);
}

TEST(CalcCRC16, ChainsOverEverySplit) {
  const std::string_view data = "123456789";
  for (size_t split = 0; split <= data.size(); ++split) {
    uint16_t first = CalcCRC16(Bytes(data), static_cast<int64_t>(split), 0xFFFF);
    uint16_t whole =
        CalcCRC16(Bytes(data.substr(split)), static_cast<int64_t>(data.size() - split), first);
    EXPECT_EQ(whole, 0x4B37) << "split at " << split;
  }
}

TEST(NormalizeVer, Table) {
  struct Case {
    std::string_view text;
    std::string_view expected;
  } cases[] = {
      {"ver 2.74 ", "2.74"}, {"abc", "0.0"},      {"", "0.0"},      {"2.74", "2.74"},
      {"2 74", "2.74"},      {"274", "274."},     {"v3.0 ", "3.0"}, {"2a3b4", "2.3b4"},
      {"..2.74..", "2.74"},  {"1.2.3x", "1.2.3"}, {"7", "7."},
  };
  for (const auto& c : cases) EXPECT_EQ(NormalizeVer(c.text), c.expected) << c.text;
}

TEST(CompareVer, ComparesMajorNumbersOnly) {
  struct Case {
    std::string_view a;
    std::string_view b;
    int expected;
  } cases[] = {
      {"2.80", "2.74", 0}, {"2.99", "2.74", 0},  {"3.0", "2.74", 1},
      {"1.9", "2.0", -1},  {"2a.74", "2.74", 0}, {"274", "2.74", 1},
      {"abc", "0.5", 0},   {"2 74", "2.74", 0},  {"99999999999999999999999.1", "2.74", 1},
      {"1.5", "2.74", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CompareVer(c.a, c.b), c.expected) << c.a << " vs " << c.b;
    EXPECT_EQ(CompareVer(c.b, c.a), -c.expected) << c.b << " vs " << c.a;
  }
}

TEST(MajorVersion, Table) {
  EXPECT_EQ(MajorVersion("2.74"), 2u);
  EXPECT_EQ(MajorVersion("1.5 "), 1u);
  EXPECT_EQ(MajorVersion("abc"), 0u);
  EXPECT_EQ(MajorVersion("2a3.1"), 2u);
  EXPECT_EQ(MajorVersion("123456789012345.0"), 0xFFFFFFFFu);
}

TEST(CompareVerArray, Table) {
  struct Case {
    std::string_view a;
    std::string_view b;
    int expected;
  } cases[] = {
      {"1.2", "1.2.0", 0}, {"1.10", "1.9", 1}, {"2", "10", -1},     {"1.20b3", "1.20.3", 0},
      {"", "", 0},         {"abc", "x.y", 0},  {"1.2.1", "1.2", 1}, {"2147483647", "2147483646", 1},
      {"v4", "", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CompareVerArray(c.a, c.b), c.expected) << c.a << " vs " << c.b;
    EXPECT_EQ(CompareVerArray(c.b, c.a), -c.expected) << c.b << " vs " << c.a;
  }
}

TEST(CompareVerArray, NumberBeyondInt32MakesItsTextTheSmaller) {
  EXPECT_EQ(CompareVerArray("2147483648", "1"), -1);
  EXPECT_EQ(CompareVerArray("1", "2147483648"), 1);
  EXPECT_EQ(CompareVerArray("1.99999999999999999999", "1.0"), -1);
  // The first text decides when both are out of range.
  EXPECT_EQ(CompareVerArray("4294967296", "4294967296"), -1);
}

// Only a text with numbers, each one in range, says which version it is:
// one without numbers would compare equal to 0, one out of range below all.
TEST(VersionParses, NumbersInRangeAndAtLeastOne) {
  const struct {
    std::string_view text;
    bool parses;
  } cases[] = {
      {"1.4.0012", true},   {"V2", true},          {"0", true},
      {"2147483647", true}, {"", false},           {"V", false},
      {"...", false},       {"2147483648", false}, {"1.99999999999", false},
  };
  for (const auto& c : cases) EXPECT_EQ(VersionParses(c.text), c.parses) << c.text;
}

int CharCount(std::string_view text) {
  int count = 0;
  for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

TEST(ShortenPath, Table) {
  struct Case {
    std::string path;
    int limit;
    std::string expected;
  } cases[] = {
      // Fits: unchanged.
      {"C:\\Firmware\\device.qvl", 40, "C:\\Firmware\\device.qvl"},
      {"C:\\Firmware\\Archive\\2023\\device.qvl", 35, "C:\\Firmware\\Archive\\2023\\device.qvl"},
      // Keeps the drive, then "...", then the end of the path.
      {"C:\\Firmware\\Archive\\2023\\device.qvl", 20, "C:\\...023\\device.qvl"},
      // A network path keeps its two backslashes.
      {"\\\\server\\share\\firmware\\device.qvl", 18, "\\\\...re\\device.qvl"},
      // Anything else gets "..." at the start.
      {"/home/user/firmware/archive/device.qvl", 16, "...ve/device.qvl"},
      // Nothing left to remove: the prefix and "..." stay even when too wide.
      {"C:\\abcdef", 3, "C:\\..."},
  };
  for (const auto& c : cases) {
    std::string result = ShortenPath(c.path, CharCount, c.limit);
    EXPECT_EQ(result, c.expected) << c.path << " limit " << c.limit;
  }
}

TEST(ShortenPath, RemovesWholeUtf8Characters) {
  const std::string path =
      "/dane/\xC5\xBAr\xC3\xB3"
      "d\xC5\x82o/plik.qvl";  // /dane/źródło/plik.qvl
  for (int limit = 4; limit < CharCount(path); ++limit) {
    std::string result = ShortenPath(path, CharCount, limit);
    ASSERT_TRUE(result.starts_with("..."));
    ASSERT_GT(result.size(), 3u);
    EXPECT_NE(static_cast<unsigned char>(result[3]) & 0xC0, 0x80) << "limit " << limit;
    EXPECT_LE(CharCount(result), limit);
    EXPECT_TRUE(path.ends_with(result.substr(3)));
  }
}

// A history entry may be as long as a settings file holds: the width of a
// 64K-character path is measured a few dozen times, not once per character
// (which kept the window busy for minutes).
TEST(ShortenPath, AVeryLongPathIsMeasuredAFewTimes) {
  const std::string path = "/" + std::string(65536, 'x') + "/device.qvl";
  int measured = 0;
  const TextWidthFn counting = [&measured](std::string_view text) {
    ++measured;
    return CharCount(text);
  };
  EXPECT_EQ(ShortenPath(path, counting, 40), "..." + path.substr(path.size() - 37));
  EXPECT_LE(measured, 20);
}

}  // namespace
}  // namespace quorvel
