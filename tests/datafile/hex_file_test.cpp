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
  // Reads the text as a file and, the same bytes, from memory: both read
  // alike.
  int32_t ReadText(const std::string& text) {
    const std::string path = Path("fw.hex");
    WriteFile(path, text);
    FirmwareImage fromMemory;
    DataFileProblem memoryProblem;
    const int32_t memoryResult = ReadHexBytes(
        {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, fromMemory, &memoryProblem);
    const int32_t result = ReadHexFile(path, image_, &problem_);
    EXPECT_EQ(memoryResult, result);
    EXPECT_EQ(memoryProblem.Line, problem_.Line);
    EXPECT_EQ(memoryProblem.Cause, problem_.Cause);
    if (result == 0) {
      EXPECT_EQ(fromMemory.ImageData, image_.ImageData);
      EXPECT_EQ(fromMemory.ImageStart, image_.ImageStart);
    }
    return result;
  }
  FirmwareImage image_;
  DataFileProblem problem_;
};

struct HexCase {
  const char* what;
  std::string text;
  uint32_t start;
  Bytes image;
};

TEST_F(HexFileTest, Images) {
  const Bytes gap(16, 0xFF);
  const Bytes low = Sequence(0x00, 16);
  const Bytes high = Sequence(0x80, 16);
  const HexCase cases[] = {
      {"gap between records", Lines({Data(0x0000, low), Data(0x0020, high), EndOfFile()}), 0,
       Concat({low, gap, high})},
      {"records in reverse order", Lines({Data(0x0020, high), Data(0x0000, low), EndOfFile()}), 0,
       Concat({low, gap, high})},
      {"later record overwrites",
       Lines({Data(0x0010, low), Data(0x0014, {0xAA, 0xBB}), EndOfFile()}), 0x10,
       [&] {
         Bytes b = low;
         b[4] = 0xAA;
         b[5] = 0xBB;
         return b;
       }()},
      {"extended linear address",
       Lines({Linear(0x0800), Data(0x0100, {1, 2, 3}), EndOfFile()}),
       0x08000100,
       {1, 2, 3}},
      {"extended segment address",
       Lines({Segment(0x1000), Data(0x0010, {4, 5}), EndOfFile()}),
       0x10010,
       {4, 5}},
      {"base changes between records",
       Lines({Data(0xFFFE, {1, 2}), Linear(0x0001), Data(0x0000, {3, 4}), EndOfFile()}),
       0xFFFE,
       {1, 2, 3, 4}},
      {"records and malformed lines after end of file ignored",
       Lines({Data(0x0000, {1}), EndOfFile(), Record(0, 0x0004, {9}, 1), "junk", ":0G", ":0"}),
       0,
       {1}},
      {"end record's checksum not checked", Lines({Data(0x0000, {1}), ":00000001AA"}), 0, {1}},
      {"trailing blanks and tabs after a record",
       Lines({Data(0x0000, {1}), Data(0x0001, {2}) + " \t  ", EndOfFile() + "\t"}),
       0,
       {1, 2}},
      {"other lines are skipped",
       Lines({"", "; comment", " :0100000001FE", "\t:0100000001FE", Data(0x0002, {7}), "x",
              EndOfFile()}),
       2,
       {7}},
      {"count 0 takes part in the span",
       Lines({Data(0x0010, {}), Data(0x0020, {1, 2, 3, 4}), EndOfFile()}), 0x10,
       Concat({gap, {1, 2, 3, 4}})},
      {"start and other records only checked",
       Lines({Record(3, 0, {0, 0, 0x12, 0x34}), Record(5, 0, {8, 0, 0, 0}), Record(6, 0, {}),
              Data(0x0000, {1}), EndOfFile()}),
       0,
       {1}},
      {"lower-case digits",
       Lines({":02000004abcd82", ":020000000102fb", EndOfFile()}),
       0xABCD0000,
       {1, 2}},
      {"no data records", Lines({Linear(0x1234), EndOfFile()}), 0xFFFFFFFF, {}},
      {"LF line ends", Lines({Data(0x0000, {1}), Data(0x0001, {2}), EndOfFile()}, "\n"), 0, {1, 2}},
      {"last line without end",
       Lines({Data(0x0000, {1}), Data(0x0001, {2})}) + EndOfFile(),
       0,
       {1, 2}},
      {"last line ends with CR only",
       Lines({Data(0x0000, {1}), Data(0x0001, {2})}) + EndOfFile() + "\r",
       0,
       {1, 2}},
      {"image may end at the last address",
       Lines({Linear(0xFFFF), Data(0xFFF0, Sequence(0, 15)), EndOfFile()}), 0xFFFFFFF0,
       Sequence(0, 15)},
  };
  for (const auto& c : cases) {
    image_.ImageData = {0xEE};
    image_.ImageStart = 0x42;
    problem_ = {7, "stale"};
    ASSERT_EQ(ReadText(c.text), 0) << c.what << ": " << problem_.Cause;
    EXPECT_EQ(image_.ImageStart, c.start) << c.what;
    EXPECT_EQ(image_.ImageData, c.image) << c.what;
    EXPECT_EQ(problem_.Line, 0u) << c.what;
    EXPECT_EQ(problem_.Cause, "") << c.what;
  }
  EXPECT_TRUE(prompt_.shown.empty());
}

// A record line with one character replaced (column 1 is the colon).
std::string Spoil(std::string line, size_t column, char c) {
  line.at(column - 1) = c;
  return line;
}

struct RefusedCase {
  const char* what;
  std::string text;
  int32_t result;
  uint32_t line;
  std::string cause;
};

// Files that would give wrong firmware if read leniently, and files cut or
// spoiled otherwise: each is refused with the line and the cause.
TEST_F(HexFileTest, RefusedFilesNameLineAndCause) {
  const std::string one = Data(0x0000, {0x12, 0x34, 0x56});  // :03000000123456..
  const RefusedCase cases[] = {
      {"letter O for digit 0", Lines({Data(0x0010, {1}), Spoil(one, 10, 'O'), EndOfFile()}), -1, 2,
       "character 'O' at column 10 is not a hexadecimal digit"},
      {"NUL inside a record", Lines({Spoil(one, 5, '\0'), EndOfFile()}), -1, 1,
       "byte 0x00 at column 5 is not a hexadecimal digit"},
      {"blank inside a record", Lines({Spoil(one, 6, ' '), EndOfFile()}), -1, 1,
       "a blank at column 6 is not a hexadecimal digit"},
      {"tab inside a record", Lines({Spoil(one, 12, '\t'), EndOfFile()}), -1, 1,
       "a tab at column 12 is not a hexadecimal digit"},
      {"comment after a record", Lines({one + " ; start", EndOfFile()}), -1, 1,
       "a blank at column 18 is not a hexadecimal digit"},
      {"text right after the checksum", Lines({":020000000102FB;c", EndOfFile()}), -1, 1,
       "character ';' at column 16 is not a hexadecimal digit"},
      {"non-ASCII byte", Lines({"; note", "", Spoil(one, 3, '\xC3'), EndOfFile()}), -1, 3,
       "byte 0xC3 at column 3 is not a hexadecimal digit"},
      {"CR inside a line",
       Lines({Data(0x0000, {1}), Data(0x0001, {2}) + "\r\r", EndOfFile()}, "\n"), -1, 2,
       "byte 0x0D at column 14 is not a hexadecimal digit"},
      {"odd digit count", Lines({one.substr(0, one.size() - 1), EndOfFile()}, "\n"), -1, 1,
       "odd number of hexadecimal digits: 15"},
      {"checksum pair cut", Lines({":0100000001F", EndOfFile()}), -1, 1,
       "odd number of hexadecimal digits: 11"},
      {"digits after the checksum", Lines({":02000004ABCD82FF00", EndOfFile()}), -1, 1,
       "record too long for its byte count 2: 14 hexadecimal digits needed, 18 found"},
      {"line too short for its count", Lines({":10000000AA", EndOfFile()}), -1, 1,
       "record too short for its byte count 16: 42 hexadecimal digits needed, 10 found"},
      {"colon alone", Lines({":", EndOfFile()}), -1, 1,
       "record too short: 0 hexadecimal digits, at least 10 needed"},
      {"no type", Lines({":020000", EndOfFile()}), -1, 1,
       "record too short: 6 hexadecimal digits, at least 10 needed"},
      {"no end record", Lines({Data(0x0000, {1, 2})}), -1, 0,
       "no end-of-file record (type 01): the file is incomplete"},
      {"cut at a line end", Lines({Linear(0x0800), Data(0x0000, {1, 2})}, "\n"), -1, 0,
       "no end-of-file record (type 01): the file is incomplete"},
      {"empty file", "", -1, 0, "no end-of-file record (type 01): the file is incomplete"},
      {"cut inside the end record", Lines({Data(0x0000, {1, 2})}) + ":000000", -1, 2,
       "record too short: 6 hexadecimal digits, at least 10 needed"},
      {"linear address with count 1", Lines({":0100000408F3", Data(0, {1}), EndOfFile()}), -1, 1,
       "a record of type 04 must have byte count 2, not 1"},
      {"segment address with count 3", Lines({Record(2, 0, {0x10, 0, 0}), EndOfFile()}), -1, 1,
       "a record of type 02 must have byte count 2, not 3"},
      {"segment record without its value", Lines({":00000004FC", EndOfFile()}), -1, 1,
       "a record of type 04 must have byte count 2, not 0"},
      {"start segment address with count 2", Lines({Record(3, 0, {0, 0}), EndOfFile()}), -1, 1,
       "a record of type 03 must have byte count 4, not 2"},
      {"start linear address with count 0", Lines({Record(5, 0, {}), EndOfFile()}), -1, 1,
       "a record of type 05 must have byte count 4, not 0"},
      {"data record whose type became 01",
       Lines({Data(0x0000, {1}), Record(1, 0x0001, {2, 3}), Data(0x0003, {4}), EndOfFile()}), -1, 2,
       "a record of type 01 must have byte count 0, not 2"},
      {"bad data checksum", Lines({Data(0x0000, {1}), Record(0, 0x0001, {2}, 1), EndOfFile()}), -5,
       2, "bad checksum: the record has 0xFD, its bytes need 0xFC"},
      {"bad segment checksum", Lines({Record(4, 0, {0, 1}, -1), Data(0, {1}), EndOfFile()}), -5, 1,
       "bad checksum: the record has 0xF8, its bytes need 0xF9"},
      {"bad start-record checksum", Lines({Record(5, 0, {0, 0, 0, 0}, 3), EndOfFile()}), -5, 1,
       "bad checksum: the record has 0xFA, its bytes need 0xF7"},
      {"span beyond 64 MiB",
       Lines({Data(0x0000, {1}), Linear(0xFFFF), Data(0xFF00, {2}), EndOfFile()}), -1, 3,
       "the data span more than 64 MiB of addresses"},
      {"span just beyond 64 MiB",
       Lines({Data(0x0000, {1}), Linear(0x0400), Data(0x0000, {2}), EndOfFile()}), -1, 3,
       "the data span more than 64 MiB of addresses"},
      {"checksum error after too large a span",
       Lines({Data(0x0000, {1}), Linear(0xFFFF), Data(0xFF00, {2}), Record(0, 0, {3}, 1),
              EndOfFile()}),
       -5, 4, "bad checksum: the record has 0xFD, its bytes need 0xFC"},
      {"too large a span in a file without end record",
       Lines({Data(0x0000, {1}), Linear(0xFFFF), Data(0xFF00, {2})}), -1, 0,
       "no end-of-file record (type 01): the file is incomplete"},
      {"span wraps past 32 bits",
       Lines({Linear(0xFFFF), Data(0xFFF0, Sequence(0, 16)), EndOfFile()}), -1, 2,
       "the data run past address 0xFFFFFFFF"},
  };
  for (const auto& c : cases) {
    image_.ImageData = {0xEE};
    image_.ImageStart = 0x42;
    EXPECT_EQ(ReadText(c.text), c.result) << c.what;
    EXPECT_EQ(problem_.Line, c.line) << c.what;
    EXPECT_EQ(problem_.Cause, c.cause) << c.what;
    // A failed read leaves the caller's block where it was.
    EXPECT_EQ(image_.ImageData, Bytes{0xEE}) << c.what;
  }
  EXPECT_TRUE(prompt_.shown.empty());
}

TEST_F(HexFileTest, CausesAreInTheProgramsLanguage) {
  Language = 0;
  struct Case {
    std::string text;
    std::string cause;
  } cases[] = {
      {Lines({Spoil(Data(0, {1}), 4, 'O'), EndOfFile()}),
       "znak 'O' w kolumnie 4 nie jest cyfrą szesnastkową"},
      {Lines({Spoil(Data(0, {1}), 4, ' '), EndOfFile()}),
       "spacja w kolumnie 4 nie jest cyfrą szesnastkową"},
      {Lines({Spoil(Data(0, {1}), 4, '\t'), EndOfFile()}),
       "tabulator w kolumnie 4 nie jest cyfrą szesnastkową"},
      {Lines({Spoil(Data(0, {1}), 4, '\0'), EndOfFile()}),
       "bajt 0x00 w kolumnie 4 nie jest cyfrą szesnastkową"},
      {Lines({":0100000001F", EndOfFile()}), "nieparzysta liczba cyfr szesnastkowych: 11"},
      {Lines({":", EndOfFile()}),
       "rekord za krótki: liczba cyfr szesnastkowych 0, potrzeba co najmniej 10"},
      {Lines({":10000000AA", EndOfFile()}),
       "rekord za krótki względem liczby bajtów 16: powinno być cyfr szesnastkowych: 42, jest: 10"},
      {Lines({":02000004ABCD82FF00", EndOfFile()}),
       "rekord za długi względem liczby bajtów 2: powinno być cyfr szesnastkowych: 14, jest: 18"},
      {Lines({Record(0, 0, {1}, 1), EndOfFile()}),
       "błędna suma kontrolna: rekord ma 0xFF, a powinien mieć 0xFE"},
      {Lines({":0100000408F3", EndOfFile()}), "rekord typu 04 musi mieć liczbę bajtów 2, a ma 1"},
      {Lines({Data(0, {1})}), "brak rekordu końca pliku (typ 01): plik jest niekompletny"},
      {Lines({Data(0x0000, {1}), Linear(0x0400), Data(0x0000, {2}), EndOfFile()}),
       "dane obejmują więcej niż 64 MiB adresów"},
      {Lines({Linear(0xFFFF), Data(0xFFF0, Sequence(0, 16)), EndOfFile()}),
       "dane wychodzą poza adres 0xFFFFFFFF"},
  };
  for (const auto& c : cases) {
    EXPECT_LT(ReadText(c.text), 0) << c.cause;
    EXPECT_EQ(problem_.Cause, c.cause);
  }
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
  up.push_back(EndOfFile());
  down.push_back(EndOfFile());
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

// Lines of every length around the reader's buffer size, and lines far
// longer than any record: each is judged exactly like its short form, and
// a fault is found at the same line and column wherever the buffer ends.
TEST_F(HexFileTest, LongLinesAndBufferBoundaries) {
  const Bytes payload = Sequence(0x30, 32);
  const std::string record = Data(0x0010, payload);  // 75 characters
  const std::string records = Lines({Linear(0x0001), record, EndOfFile()});
  const std::string spoiled = Lines({Linear(0x0001), Spoil(record, 40, 'O'), EndOfFile()});
  for (size_t fill = 65536 - 100; fill <= 65536 + 4; ++fill) {
    for (const std::string end : {"\r\n", "\n"}) {
      // A comment line that moves the records across the buffer boundary.
      const std::string comment = std::string(fill, ';') + end;
      ASSERT_EQ(ReadText(comment + records), 0) << fill << ": " << problem_.Cause;
      EXPECT_EQ(image_.ImageStart, 0x10010u) << fill;
      ASSERT_EQ(image_.ImageData, payload) << fill;
      ASSERT_EQ(ReadText(comment + spoiled), -1) << fill;
      EXPECT_EQ(problem_.Line, 3u) << fill;
      EXPECT_EQ(problem_.Cause, "character 'O' at column 40 is not a hexadecimal digit") << fill;
    }
  }
  const std::string blanks = [] {
    std::string text(1000000, ' ');
    for (size_t i = 0; i < text.size(); i += 3) text[i] = '\t';
    return text;
  }();
  // A comment that makes the next line start 300 characters before the end
  // of the reader's first buffer.
  const std::string straddle(65536 - 301, ';');
  struct Case {
    const char* what;
    std::string text;
    int32_t result;
    uint32_t line;
    std::string cause;
  } cases[] = {
      {"a million blanks and tabs after records", Lines({record + blanks, EndOfFile() + blanks}), 0,
       0, ""},
      {"the same without a line end", Lines({record}) + EndOfFile() + blanks, 0, 0, ""},
      {"a million digits after a record", Lines({record + std::string(1000000, 'A'), EndOfFile()}),
       -1, 1, "record too long for its byte count 32: 74 hexadecimal digits needed, 1000074 found"},
      {"one letter at the end of a long line",
       Lines({record + std::string(1000000, 'A') + "G", EndOfFile()}), -1, 1,
       "character 'G' at column 1000076 is not a hexadecimal digit"},
      {"an odd long line without a line end", record + std::string(999999, 'A'), -1, 1,
       "odd number of hexadecimal digits: 1000073"},
      {"something after a million blanks", Lines({record + blanks + "x", EndOfFile()}), -1, 1,
       "a tab at column 76 is not a hexadecimal digit"},
      {"a digit after blanks, across the buffer end",
       Lines({straddle, record + std::string(500, ' ') + "A", EndOfFile()}), -1, 2,
       "a blank at column 76 is not a hexadecimal digit"},
      {"a blank after the longest record's length, across the buffer end",
       Lines({straddle, ":" + std::string(600, '0') + " 0", EndOfFile()}), -1, 2,
       "a blank at column 602 is not a hexadecimal digit"},
      {"the same within the buffer", Lines({":" + std::string(600, '0') + " 0", EndOfFile()}), -1,
       1, "a blank at column 602 is not a hexadecimal digit"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadText(c.text), c.result) << c.what;
    EXPECT_EQ(problem_.Line, c.line) << c.what;
    EXPECT_EQ(problem_.Cause, c.cause) << c.what;
    if (c.result == 0) {
      EXPECT_EQ(image_.ImageData, payload) << c.what;
    }
  }
}

TEST_F(HexFileTest, FilesThatCannotBeReadGiveMinusOne) {
  ASSERT_EQ(mkfifo(Path("fifo.hex").c_str(), 0644), 0);
  const std::pair<std::string, std::string> cases[] = {
      {Path("missing.hex"), "no such file or directory"},
      {dir_.string(), "is a directory"},
      {Path("fifo.hex"), "not a regular file (a FIFO, socket or device)"},
  };
  for (const auto& [path, cause] : cases) {
    EXPECT_EQ(ReadHexFile(path, image_, &problem_), -1) << path;
    EXPECT_EQ(problem_.Line, 0u);
    EXPECT_EQ(problem_.Cause, cause);
  }
  EXPECT_EQ(ReadHexFile(Path("missing.hex"), image_), -1);
}

TEST_F(HexFileTest, GarbageAndTruncatedFilesGiveAResultCodeAndCause) {
  std::mt19937 random(20240611);
  const char alphabet[] = ":0123456789ABCDEFabcdef\r\n :G\t";
  for (int round = 0; round < 300; ++round) {
    std::string text(random() % 400, ' ');
    for (char& c : text) {
      c = (round % 3 == 0) ? static_cast<char>(random())
                           : alphabet[random() % (sizeof(alphabet) - 1)];
    }
    int32_t result = ReadText(text);
    EXPECT_TRUE(result == 0 || result == -1 || result == -5) << result;
    EXPECT_EQ(result < 0, !problem_.Cause.empty()) << result;
  }
  // Cut anywhere before the end of its end-of-file record, a file is refused.
  const std::string whole = Lines({Linear(0x0001), Data(0x0000, Sequence(0, 16)), Segment(0x1000),
                                   Data(0x0004, {1, 2}), EndOfFile()});
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    const int32_t result = ReadText(whole.substr(0, cut));
    EXPECT_EQ(result, cut + 2 < whole.size() ? -1 : 0) << cut << ": " << problem_.Cause;
    EXPECT_EQ(result < 0, !problem_.Cause.empty()) << cut;
  }
}

}  // namespace
}  // namespace quorvel
