#include "datafile/hex_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <algorithm>
#include <chrono>
#include <random>

#include "hex_test_support.h"
#include "test_support.h"

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;
using test::Data;
using test::EndOfFile;
using test::Linear;
using test::Lines;
using test::Record;
using test::Segment;

Bytes Sequence(uint8_t first, size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class HexFileTest : public test::TempDirTest {
 protected:
  int32_t ReadText(const std::string& text) {
    const std::string path = Path("fw.hex");
    WriteFile(path, text);
    return ReadHexFile(path, image_);
  }
  FirmwareImage image_;
};

struct HexCase {
  const char* what;
  std::string text;
  int32_t result;
  uint32_t start;
  Bytes image;
};

TEST_F(HexFileTest, Images) {
  const Bytes gap(16, 0xFF);
  const Bytes low = Sequence(0x00, 16);
  const Bytes high = Sequence(0x80, 16);
  const HexCase cases[] = {
      {"gap between records", Lines({Data(0x0000, low), Data(0x0020, high), EndOfFile()}), 0, 0,
       Concat({low, gap, high})},
      {"records in reverse order", Lines({Data(0x0020, high), Data(0x0000, low), EndOfFile()}), 0,
       0, Concat({low, gap, high})},
      {"later record overwrites",
       Lines({Data(0x0010, low), Data(0x0014, {0xAA, 0xBB}), EndOfFile()}), 0, 0x10,
       [&] {
         Bytes b = low;
         b[4] = 0xAA;
         b[5] = 0xBB;
         return b;
       }()},
      {"extended linear address",
       Lines({Linear(0x0800), Data(0x0100, {1, 2, 3}), EndOfFile()}),
       0,
       0x08000100,
       {1, 2, 3}},
      {"extended segment address",
       Lines({Segment(0x1000), Data(0x0010, {4, 5}), EndOfFile()}),
       0,
       0x10010,
       {4, 5}},
      {"base changes between records",
       Lines({Data(0xFFFE, {1, 2}), Linear(0x0001), Data(0x0000, {3, 4}), EndOfFile()}),
       0,
       0xFFFE,
       {1, 2, 3, 4}},
      {"records after end of file ignored",
       Lines({Data(0x0000, {1}), EndOfFile(), Record(0, 0x0004, {9}, 1), "junk"}),
       0,
       0,
       {1}},
      {"end record's checksum not checked", Lines({Data(0x0000, {1}), ":00000001AA"}), 0, 0, {1}},
      {"no end record", Lines({Data(0x0000, {1, 2})}), 0, 0, {1, 2}},
      {"line with a trailing blank is skipped",
       Lines({Data(0x0000, {1}), Data(0x0001, {2}) + " ", EndOfFile()}),
       0,
       0,
       {1}},
      {"other lines are skipped",
       Lines({"", "; comment", " :0100000001FE", ":01000X0001FE", Data(0x0002, {7}), "x",
              EndOfFile()}),
       0,
       2,
       {7}},
      {"count 0 takes part in the span",
       Lines({Data(0x0010, {}), Data(0x0020, {1, 2, 3, 4}), EndOfFile()}), 0, 0x10,
       Concat({gap, {1, 2, 3, 4}})},
      {"start and other records only checked",
       Lines({Record(3, 0, {0, 0, 0x12, 0x34}), Record(5, 0, {8, 0, 0, 0}), Record(6, 0, {}),
              Data(0x0000, {1}), EndOfFile()}),
       0,
       0,
       {1}},
      {"lower-case digits and text after the checksum",
       Lines({":0200000001020ZZ", ":02000004abcd82ff00", ":020000000102fbabc", EndOfFile()}),
       0,
       0xABCD0000,
       {1, 2}},
      {"no data records", Lines({Linear(0x1234), EndOfFile()}), 0, 0xFFFFFFFF, {}},
      {"empty file", "", 0, 0xFFFFFFFF, {}},
      {"LF line ends",
       Lines({Data(0x0000, {1}), Data(0x0001, {2}), EndOfFile()}, "\n"),
       0,
       0,
       {1, 2}},
      {"last line without end", Lines({Data(0x0000, {1})}) + Data(0x0001, {2}), 0, 0, {1, 2}},
      {"last line ends with CR only",
       Lines({Data(0x0000, {1})}) + Data(0x0001, {2}) + "\r",
       0,
       0,
       {1, 2}},
      {"CR inside a line makes it no record",
       Lines({Data(0x0000, {1}), Data(0x0001, {2}) + "\r\r", EndOfFile()}, "\n"),
       0,
       0,
       {1}},
      {"image may end at the last address",
       Lines({Linear(0xFFFF), Data(0xFFF0, Sequence(0, 15)), EndOfFile()}), 0, 0xFFFFFFF0,
       Sequence(0, 15)},
      {"bad data checksum",
       Lines({Data(0x0000, {1}), Record(0, 0x0001, {2}, 1), EndOfFile()}),
       -5,
       0,
       {}},
      {"bad segment checksum",
       Lines({Record(4, 0, {0, 1}, -1), Data(0, {1}), EndOfFile()}),
       -5,
       0,
       {}},
      {"bad start-record checksum", Lines({Record(5, 0, {0, 0, 0, 0}, 3), EndOfFile()}), -5, 0, {}},
      {"line too short for its count", Lines({":10000000AA", EndOfFile()}), -1, 0, {}},
      {"colon alone", Lines({":", EndOfFile()}), -1, 0, {}},
      {"no type", Lines({":020000", EndOfFile()}), -1, 0, {}},
      {"segment record without its value", Lines({":00000004FC", EndOfFile()}), -1, 0, {}},
      {"checksum pair cut", Lines({":0100000001F", EndOfFile()}), -1, 0, {}},
      {"span beyond 64 MiB",
       Lines({Data(0x0000, {1}), Linear(0xFFFF), Data(0xFF00, {2}), EndOfFile()}),
       -1,
       0,
       {}},
      {"span just beyond 64 MiB",
       Lines({Data(0x0000, {1}), Linear(0x0400), Data(0x0000, {2}), EndOfFile()}),
       -1,
       0,
       {}},
      {"checksum error after too large a span",
       Lines({Data(0x0000, {1}), Linear(0xFFFF), Data(0xFF00, {2}), Record(0, 0, {3}, 1)}),
       -5,
       0,
       {}},
      {"span wraps past 32 bits",
       Lines({Linear(0xFFFF), Data(0xFFF0, Sequence(0, 16))}),
       -1,
       0,
       {}},
  };
  for (const auto& c : cases) {
    image_.ImageData = {0xEE};
    image_.ImageStart = 0x42;
    EXPECT_EQ(ReadText(c.text), c.result) << c.what;
    if (c.result == 0) {
      EXPECT_EQ(image_.ImageStart, c.start) << c.what;
      EXPECT_EQ(image_.ImageData, c.image) << c.what;
    } else {
      // A failed read leaves the caller's block where it was.
      EXPECT_EQ(image_.ImageData, Bytes{0xEE}) << c.what;
    }
  }
  EXPECT_TRUE(prompt_.shown.empty());
}

// Records of random length at random places in random order, overlapping,
// spread far enough that the image has to grow in both directions many
// times: the image equals a plain byte-by-byte model.
TEST_F(HexFileTest, RandomRecordsMatchAModel) {
  std::mt19937 random(77);
  for (int round = 0; round < 20; ++round) {
    const uint32_t window = round % 2 == 0 ? 4096 : 600000;
    const uint32_t origin = 0x00FF0000 + static_cast<uint32_t>(random() % 0x20000);
    std::vector<int> model(window, -1);
    std::vector<std::string> lines;
    uint32_t low = 0xFFFFFFFF;
    uint32_t high = 0;
    const int records = round % 2 == 0 ? 200 : 3000;
    for (int r = 0; r < records; ++r) {
      const uint32_t count = random() % 40;
      const uint32_t offset = static_cast<uint32_t>(random() % (window - count));
      const uint32_t absolute = origin + offset;
      Bytes data(count);
      for (auto& b : data) b = static_cast<uint8_t>(random());
      lines.push_back(Linear(static_cast<uint16_t>(absolute >> 16)));
      // A record must not run past its 64 KiB segment in this model.
      if ((absolute & 0xFFFF) + count > 0x10000) continue;
      lines.push_back(Data(static_cast<uint16_t>(absolute & 0xFFFF), data));
      for (uint32_t i = 0; i < count; ++i) model[offset + i] = data[i];
      low = std::min(low, absolute);
      high = std::max(high, absolute + count);
    }
    lines.push_back(EndOfFile());
    ASSERT_EQ(ReadText(Lines(lines)), 0) << round;
    ASSERT_EQ(image_.ImageStart, low) << round;
    ASSERT_EQ(image_.ImageSize(), high - low) << round;
    for (uint32_t a = low; a < high; ++a) {
      const int expected = model[a - origin] < 0 ? 0xFF : model[a - origin];
      ASSERT_EQ(image_.ImageData[a - low], expected) << round << " at " << a;
    }
  }
}

TEST_F(HexFileTest, DescendingRecordsGiveTheAscendingImage) {
  std::vector<std::string> up;
  std::vector<std::string> down;
  Bytes expected;
  for (uint32_t i = 0; i < 40000; ++i) {
    Bytes data = Sequence(static_cast<uint8_t>(i * 7), 16);
    expected.insert(expected.end(), data.begin(), data.end());
    std::string line = Data(static_cast<uint16_t>((i * 16) & 0xFFFF), data);
    const std::string base = Linear(static_cast<uint16_t>(0x2000 + ((i * 16) >> 16)));
    up.push_back(base);
    up.push_back(line);
    down.push_back(line);
    down.push_back(base);
  }
  std::reverse(down.begin(), down.end());
  for (const auto* lines : {&up, &down}) {
    ASSERT_EQ(ReadText(Lines(*lines)), 0);
    EXPECT_EQ(image_.ImageStart, 0x20000000u);
    EXPECT_EQ(image_.ImageData, expected);
  }
}

TEST_F(HexFileTest, LargestAllowedSpanIsRead) {
  const std::string text =
      Lines({Data(0x0000, {1}), Linear(0x03FF), Data(0xFFFF, {2}), EndOfFile()});
  ASSERT_EQ(ReadText(text), 0);
  ASSERT_EQ(image_.ImageSize(), kMaxImageSize);
  EXPECT_EQ(image_.ImageData.front(), 1);
  EXPECT_EQ(image_.ImageData.back(), 2);
  EXPECT_EQ(image_.ImageData[12345], 0xFF);
}

TEST_F(HexFileTest, HugeSpanIsRefusedQuickly) {
  const std::string text =
      Lines({Data(0x0000, {1}), Linear(0xFFFF), Data(0xFF00, Sequence(0, 16)), EndOfFile()});
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadText(text), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(200));
}

// Lines of every length around the reader's buffer size, and one far longer
// than any record: each is read exactly like the short form.
TEST_F(HexFileTest, LongLinesAndBufferBoundaries) {
  const Bytes payload = Sequence(0x30, 32);
  const std::string records = Lines({Linear(0x0001), Data(0x0010, payload), EndOfFile()});
  for (size_t fill = 65536 - 48; fill <= 65536 + 4; ++fill) {
    for (const std::string end : {"\r\n", "\n"}) {
      // A comment line that moves the records across the buffer boundary.
      const std::string text = std::string(fill, ';') + end + records;
      ASSERT_EQ(ReadText(text), 0) << fill;
      EXPECT_EQ(image_.ImageStart, 0x10010u) << fill;
      ASSERT_EQ(image_.ImageData, payload) << fill;
    }
  }
  // A record followed by a million hex digits is still that record.
  const std::string longLine = Data(0x0000, payload) + std::string(1000000, 'A');
  ASSERT_EQ(ReadText(Lines({longLine, EndOfFile()})), 0);
  EXPECT_EQ(image_.ImageData, payload);
  // A long line with one non-hex character at its very end is skipped.
  ASSERT_EQ(ReadText(Lines({longLine + "G", Data(0x0100, {5}), EndOfFile()})), 0);
  EXPECT_EQ(image_.ImageStart, 0x100u);
  // Without any line end at all.
  ASSERT_EQ(ReadText(longLine), 0);
  EXPECT_EQ(image_.ImageData, payload);
}

TEST_F(HexFileTest, FilesThatCannotBeReadGiveMinusOne) {
  EXPECT_EQ(ReadHexFile(Path("missing.hex"), image_), -1);
  EXPECT_EQ(ReadHexFile(dir_.string(), image_), -1);
  ASSERT_EQ(mkfifo(Path("fifo.hex").c_str(), 0644), 0);
  EXPECT_EQ(ReadHexFile(Path("fifo.hex"), image_), -1);
}

TEST_F(HexFileTest, GarbageAndTruncatedFilesGiveAResultCode) {
  std::mt19937 random(20240611);
  const char alphabet[] = ":0123456789ABCDEFabcdef\r\n :G";
  for (int round = 0; round < 300; ++round) {
    std::string text(random() % 400, ' ');
    for (char& c : text) {
      c = (round % 3 == 0) ? static_cast<char>(random())
                           : alphabet[random() % (sizeof(alphabet) - 1)];
    }
    int32_t result = ReadText(text);
    EXPECT_TRUE(result == 0 || result == -1 || result == -5) << result;
  }
  const std::string whole = Lines({Linear(0x0800), Data(0x0000, Sequence(0, 16)), Segment(0x0100),
                                   Data(0x0004, {1, 2}), EndOfFile()});
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    int32_t result = ReadText(whole.substr(0, cut));
    EXPECT_TRUE(result == 0 || result == -1) << cut << " -> " << result;
  }
}

}  // namespace
}  // namespace quorvel
