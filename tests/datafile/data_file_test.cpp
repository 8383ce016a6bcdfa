#include "datafile/data_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <random>
#include <thread>

#include "datafile/file_checks.h"
#include "datafile/utilities.h"
#include "test_support.h"

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes RandomBytes(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(count);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

void PutLittleEndian(std::string& out, uint32_t value, int count) {
  for (int i = 0; i < count; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// An encoded file built field by field, independent of WriteDataFile.
std::string EncodedFile(std::string_view versionField, uint16_t devCode, uint16_t variant,
                        const Bytes& plain, std::optional<uint32_t> start) {
  std::string file = "Quorvel ";
  file += versionField;
  const uint16_t crc = CalcCRC16(plain.data(), static_cast<int64_t>(plain.size()), 0xFFFF);
  PutLittleEndian(file, devCode, 2);
  PutLittleEndian(file, variant, 2);
  PutLittleEndian(file, crc, 2);
  if (start) PutLittleEndian(file, *start, 4);
  const uint8_t k = static_cast<uint8_t>((crc & 0xFF) + (crc >> 8));
  for (size_t i = 0; i < plain.size(); ++i) file += static_cast<char>(plain[i] ^ k ^ (i & 0xFF));
  return file;
}

class DataFileTest : public test::TempDirTest {
 protected:
  // Reads as a host does: the reader's message, when there is one, goes to
  // the host's own prompt.
  // A header read (of an encoded file) hands out no image: image_ keeps what
  // it held.
  DataFileResult Read(const std::string& path, uint8_t kinds = kAcceptEncoded | kAcceptHex,
                      bool headerOnly = false) {
    const size_t before = prompt_.shown.size();
    const DataFileContents contents =
        headerOnly ? ReadDataFileHeader(path) : ReadDataFile(path, kinds);
    EXPECT_EQ(prompt_.shown.size(), before) << "the reader showed a message itself";
    ExpectTheBytesReadAlike(path, kinds, headerOnly, contents);
    devCode_ = contents.DevCode;
    variant_ = contents.Variant;
    version_ = contents.FormatVersion;
    problem_ = contents.Problem;
    if (!headerOnly) {
      image_ = contents.Image;
      ShowDataFileError(prompt_, contents, path);
    }
    return contents.Result;
  }
  // A regular file's bytes, read from memory, give what the file gave.
  static void ExpectTheBytesReadAlike(const std::string& path, uint8_t kinds, bool headerOnly,
                                      const DataFileContents& fromFile) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error) || access(path.c_str(), R_OK) != 0) return;
    const std::string text = ReadFile(path);
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()),
                                         text.size());
    const DataFileContents fromMemory =
        headerOnly ? ReadDataBytesHeader(bytes) : ReadDataBytes(bytes, kinds);
    EXPECT_EQ(fromMemory.Result, fromFile.Result) << path;
    EXPECT_EQ(fromMemory.Image.ImageData, fromFile.Image.ImageData) << path;
    EXPECT_EQ(fromMemory.Image.ImageStart, fromFile.Image.ImageStart) << path;
    EXPECT_EQ(fromMemory.DevCode, fromFile.DevCode) << path;
    EXPECT_EQ(fromMemory.Variant, fromFile.Variant) << path;
    EXPECT_EQ(fromMemory.FormatVersion, fromFile.FormatVersion) << path;
    EXPECT_EQ(fromMemory.Problem.Line, fromFile.Problem.Line) << path;
    EXPECT_EQ(fromMemory.Problem.Cause, fromFile.Problem.Cause) << path;
  }
  // Writes as a host does: the save check asks through the host's prompt
  // (when `check`), the failure's message goes there too.
  bool Write(const std::string& path, std::span<const uint8_t> image, bool check, uint16_t devCode,
             uint16_t variant, uint32_t start, std::string* detail = nullptr) {
    std::string reason = "stale";
    const size_t before = prompt_.shown.size();
    const bool ok =
        WriteDataFile(path, image, check ? &prompt_ : nullptr, devCode, variant, start, &reason);
    const size_t asked = prompt_.shown.size() - before;
    EXPECT_LE(asked, check ? 1u : 0u) << "the writer showed a message itself";
    if (asked == 1) {
      EXPECT_TRUE(prompt_.shown.back().question);
    }
    if (!ok && !reason.empty()) ShowWriteError(prompt_, path, reason);
    if (ok) {
      EXPECT_EQ(reason, "");
    }
    if (detail != nullptr) *detail = reason;
    return ok;
  }
  mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
  }

  uint16_t devCode_ = 0xAAAA;
  uint16_t variant_ = 0xBBBB;
  FirmwareImage image_;
  std::string version_;
  DataFileProblem problem_;
};

TEST_F(DataFileTest, ThreeByteExampleIsWrittenByteExact) {
  const Bytes image = {0x61, 0x62, 0x63};
  const std::string path = Path("abc.qvl");
  ASSERT_TRUE(Write(path, image, false, 2, 1, 0x08000000));
  using namespace std::string_literals;
  const std::string expected =
      "Quorvel 2.74 "s + "\x02\x00\x01\x00\x49\x57\x00\x00\x00\x08"s + "\xC1\xC3\xC1"s;
  ASSERT_EQ(expected.size(), 26u);
  EXPECT_EQ(ReadFile(path), expected);
  // The caller's bytes stay plain.
  EXPECT_EQ(image, (Bytes{0x61, 0x62, 0x63}));
  EXPECT_TRUE(prompt_.shown.empty());
}

TEST_F(DataFileTest, ScrambleIsItsOwnInverse) {
  Bytes bytes = RandomBytes(1000, 7);
  const Bytes plain = bytes;
  ScrambleDataFileImage(bytes, 0x5749);
  EXPECT_NE(bytes, plain);
  EXPECT_EQ(bytes[256] ^ plain[256], 0xA0);  // the index counts modulo 256
  ScrambleDataFileImage(bytes, 0x5749);
  EXPECT_EQ(bytes, plain);
}

TEST_F(DataFileTest, WrittenFileReadsBack) {
  const Bytes image = RandomBytes(70000, 1);
  const std::string path = Path("fw.qvl");
  ASSERT_TRUE(Write(path, image, true, 0x1234, 0xBEEF, 0x08004000));
  EXPECT_EQ(ReadFile(path).size(), 23u + image.size());
  EXPECT_EQ(Read(path), DataFileResult::EncodedFileLoaded);
  EXPECT_EQ(devCode_, 0x1234);
  EXPECT_EQ(variant_, 0xBEEF);
  EXPECT_EQ(image_.ImageStart, 0x08004000u);
  EXPECT_EQ(image_.ImageData, image);
  EXPECT_EQ(version_, "2.74");
  EXPECT_EQ(problem_.Line, 0u);
  EXPECT_EQ(problem_.Cause, "");
  EXPECT_TRUE(prompt_.shown.empty());
}

struct ErrorCase {
  const char* what;
  std::function<std::string(const std::string& dir)> make;  // returns the path
  uint8_t kinds;
  DataFileResult code;
  const char* pl;
  const char* en;
  // The problem: its line, and its cause in Polish and English.
  uint32_t line;
  std::string causePl;
  std::string causeEn;
};

TEST_F(DataFileTest, EveryFailureHasItsCodeAndMessage) {
  const Bytes image = RandomBytes(100, 3);
  const std::string good = EncodedFile("2.74 ", 5, 6, image, 0x100);
  auto file = [this](const char* name, std::string contents) {
    return [this, name, contents](const std::string&) {
      WriteFile(Path(name), contents);
      return Path(name);
    };
  };
  std::string changed = good;
  changed[40] = static_cast<char>(changed[40] ^ 0x01);
  // Image byte 17 of the changed file has its lowest bit flipped.
  Bytes changedImage = image;
  changedImage[17] ^= 0x01;
  char stored[8];
  char computed[8];
  std::snprintf(stored, sizeof stored, "0x%04X", CalcCRC16(image.data(), 100, 0xFFFF));
  std::snprintf(computed, sizeof computed, "0x%04X", CalcCRC16(changedImage.data(), 100, 0xFFFF));
  const ErrorCase cases[] = {
      {"missing", [this](const std::string&) { return Path("missing.qvl"); }, 3,
       DataFileResult::FileNotFound, "Nie znaleziono pliku:\r\n", "File not found:\r\n", 0,
       "nie ma takiego pliku ani folderu", "no such file or directory"},
      {"empty", file("empty.qvl", ""), 3, DataFileResult::BadFormat,
       "Niewłaściwy format pliku:\r\n", "Bad file format:\r\n", 0, "plik jest pusty",
       "the file is empty"},
      {"hex, encoded only", file("hex.qvl", ":00000001FF\r\n"), kAcceptEncoded,
       DataFileResult::BadFormat, "Niewłaściwy format pliku:\r\n", "Bad file format:\r\n", 0,
       "to nie jest zakodowany plik danych: brak sygnatury „Quorvel ”",
       "not an encoded data file: no \"Quorvel \" signature"},
      {"encoded, HEX only", file("enc.qvl", good), kAcceptHex, DataFileResult::BadFormat,
       "Niewłaściwy format pliku:\r\n", "Bad file format:\r\n", 0,
       "to nie jest plik Intel HEX: pierwszy znak nie jest dwukropkiem",
       "not an Intel HEX file: the first character is not ':'"},
      {"short signature", file("short.qvl", "Quorv"), 3, DataFileResult::BadFormat,
       "Niewłaściwy format pliku:\r\n", "Bad file format:\r\n", 0,
       "to nie jest ani zakodowany plik danych, ani plik Intel HEX",
       "neither an encoded data file nor an Intel HEX file"},
      {"no blank after version", file("noblank.qvl", "Quorvel 2.74"), 3, DataFileResult::ReadError,
       "Wystąpił błąd podczas odczytu pliku:\r\n", "Data reading error:\r\n", 0,
       "plik kończy się w polu nagłówka: wersja formatu (brak spacji kończącej)",
       "the file ends inside the header field: format version (no blank ends it)"},
      {"endless version", file("long.qvl", "Quorvel " + std::string(100000, '2')), 3,
       DataFileResult::ReadError, "Wystąpił błąd podczas odczytu pliku:\r\n",
       "Data reading error:\r\n", 0, "tekst wersji formatu jest dłuższy niż 256 znaków",
       "the format version text is longer than 256 characters"},
      {"device code cut", file("cut.qvl", "Quorvel 2.74 \x02"), 3, DataFileResult::ReadError,
       "Wystąpił błąd podczas odczytu pliku:\r\n", "Data reading error:\r\n", 0,
       "plik kończy się w polu nagłówka: kod typu urządzenia",
       "the file ends inside the header field: device type code"},
      {"start address cut", file("cut2.qvl", good.substr(0, 20)), 3, DataFileResult::ReadError,
       "Wystąpił błąd podczas odczytu pliku:\r\n", "Data reading error:\r\n", 0,
       "plik kończy się w polu nagłówka: adres początkowy",
       "the file ends inside the header field: start address"},
      {"empty image", file("noimage.qvl", good.substr(0, 23)), 3, DataFileResult::ReadError,
       "Wystąpił błąd podczas odczytu pliku:\r\n", "Data reading error:\r\n", 0,
       "brak obrazu po nagłówku", "no image after the header"},
      {"folder",
       [this](const std::string&) {
         mkdir(Path("folder.qvl").c_str(), 0755);
         return Path("folder.qvl");
       },
       3, DataFileResult::ReadError, "Wystąpił błąd podczas odczytu pliku:\r\n",
       "Data reading error:\r\n", 0, "to jest folder", "is a directory"},
      {"fifo",
       [this](const std::string&) {
         mkfifo(Path("fifo.qvl").c_str(), 0644);
         return Path("fifo.qvl");
       },
       3, DataFileResult::ReadError, "Wystąpił błąd podczas odczytu pliku:\r\n",
       "Data reading error:\r\n", 0,
       "to nie jest zwykły plik (kolejka FIFO, gniazdo lub urządzenie)",
       "not a regular file (a FIFO, socket or device)"},
      {"changed image byte", file("changed.qvl", changed), 3, DataFileResult::CrcError,
       "Błąd CRC danych:\r\n", "CRC error:\r\n", 0,
       std::string("niezgodne CRC obrazu: zapisane ") + stored + ", obliczone " + computed,
       std::string("image CRC mismatch: stored ") + stored + ", computed " + computed},
      {"HEX checksum", file("bad.hex", ":0100000000FE\r\n:00000001FF\r\n"), 3,
       DataFileResult::CrcError, "Błąd CRC danych:\r\n", "CRC error:\r\n", 1,
       "błędna suma kontrolna: rekord ma 0xFE, a powinien mieć 0xFF",
       "bad checksum: the record has 0xFE, its bytes need 0xFF"},
      {"HEX record too short", file("short.hex", ":10000000AA\r\n"), 3, DataFileResult::ReadError,
       "Wystąpił błąd podczas odczytu pliku:\r\n", "Data reading error:\r\n", 1,
       "rekord za krótki względem liczby bajtów 16: powinno być cyfr szesnastkowych: 42, jest: 10",
       "record too short for its byte count 16: 42 hexadecimal digits needed, 10 found"},
      {"HEX letter for a digit",
       file("letter.hex", ":0100000000FF\r\n:0100010O00FE\r\n:00000001FF\r\n"), 3,
       DataFileResult::ReadError, "Wystąpił błąd podczas odczytu pliku:\r\n",
       "Data reading error:\r\n", 2, "znak 'O' w kolumnie 9 nie jest cyfrą szesnastkową",
       "character 'O' at column 9 is not a hexadecimal digit"},
      {"HEX without end record", file("noend.hex", ":0100000000FF\r\n"), 3,
       DataFileResult::ReadError, "Wystąpił błąd podczas odczytu pliku:\r\n",
       "Data reading error:\r\n", 0, "brak rekordu końca pliku (typ 01): plik jest niekompletny",
       "no end-of-file record (type 01): the file is incomplete"},
  };
  for (const auto& c : cases) {
    for (uint8_t language : {0, 1}) {
      Language = language;
      prompt_.shown.clear();
      const std::string path = c.make(dir_.string());
      EXPECT_EQ(Read(path, c.kinds), c.code) << c.what;
      ASSERT_EQ(prompt_.shown.size(), 1u) << c.what;
      EXPECT_EQ(prompt_.shown[0].text, std::string(language == 0 ? c.pl : c.en) + path) << c.what;
      EXPECT_EQ(prompt_.shown[0].caption, language == 0 ? "Błąd" : "Error");
      EXPECT_EQ(prompt_.shown[0].flags, kIconWarning);
      std::string shortText = DataFileShortText(c.code);
      EXPECT_TRUE(prompt_.shown[0].text.starts_with(shortText)) << c.what;
      EXPECT_FALSE(shortText.empty());
      EXPECT_EQ(problem_.Line, c.line) << c.what;
      EXPECT_EQ(problem_.Cause, language == 0 ? c.causePl : c.causeEn) << c.what;
    }
  }
  EXPECT_EQ(DataFileShortText(DataFileResult::EncodedFileLoaded), "");
  EXPECT_EQ(DataFileShortText(DataFileResult::HexFileLoaded), "");
  EXPECT_EQ(DataFileErrorText(static_cast<DataFileResult>(-6), "x", "", prompt_), "");
}

TEST_F(DataFileTest, ImageLargerThanLimitIsRefused) {
  const std::string path = Path("huge.qvl");
  WriteFile(path, EncodedFile("2.74 ", 1, 1, {}, 0));
  ASSERT_EQ(truncate(path.c_str(), 23 + static_cast<off_t>(kMaxImageSize) + 1), 0);
  EXPECT_EQ(Read(path), DataFileResult::ReadError);
}

TEST_F(DataFileTest, NewerMajorVersionIsRefusedWithBothVersionsShown) {
  const std::string path = Path("v3.qvl");
  WriteFile(path, EncodedFile("3.0 ", 1, 2, {1, 2, 3}, 0));
  EXPECT_EQ(Read(path), DataFileResult::BadVersion);
  EXPECT_EQ(version_, "3.0");
  EXPECT_EQ(problem_.Cause, "format version 3.0 is newer than the supported 2.74");
  ASSERT_EQ(prompt_.shown.size(), 1u);
  EXPECT_EQ(prompt_.shown[0].text, "Incompatible data file version:\r\n" + path +
                                       "\r\nData file version: 3.0\r\nSupported version up to: "
                                       "2.74");

  // The second label is padded until it is as wide as the first one.
  prompt_.width = [](std::string_view text) {
    return text.starts_with("Data file version") || text.starts_with("Wersja pliku")
               ? 30
               : static_cast<int>(text.size());
  };
  prompt_.shown.clear();
  EXPECT_EQ(Read(path), DataFileResult::BadVersion);
  EXPECT_NE(prompt_.shown.at(0).text.find("\r\nSupported version up to:      2.74"),
            std::string::npos)
      << prompt_.shown[0].text;
  Language = 0;
  prompt_.shown.clear();
  EXPECT_EQ(Read(path), DataFileResult::BadVersion);
  EXPECT_EQ(prompt_.shown.at(0).text,
            "Niewłaściwa wersja pliku danych:\r\n" + path +
                "\r\nWersja pliku danych: 3.0\r\nWersja obsługiwana do:       2.74");

  // A width that never grows does not make the padding run forever.
  prompt_.width = [](std::string_view text) { return text.starts_with("Wersja pliku") ? 30 : 0; };
  prompt_.shown.clear();
  EXPECT_EQ(Read(path), DataFileResult::BadVersion);
  EXPECT_EQ(prompt_.shown.size(), 1u);
}

TEST_F(DataFileTest, AcceptedVersions) {
  struct Case {
    std::string_view field;
    bool hasStart;
  } cases[] = {{"2.80 ", true}, {"2.99 ", true}, {"2.0 ", true},
               {"1.5 ", false}, {"0.9 ", false}, {"V2.74 ", true}};
  const Bytes image = RandomBytes(300, 9);
  for (const auto& c : cases) {
    const std::string path = Path("v.qvl");
    std::optional<uint32_t> start;
    if (c.hasStart) start = 0x2000;
    WriteFile(path, EncodedFile(c.field, 7, 8, image, start));
    image_.ImageStart = 0x5555;
    EXPECT_EQ(Read(path), DataFileResult::EncodedFileLoaded) << c.field;
    EXPECT_EQ(image_.ImageStart, c.hasStart ? 0x2000u : 0u) << c.field;
    EXPECT_EQ(image_.ImageData, image) << c.field;
  }
  EXPECT_TRUE(prompt_.shown.empty());
}

TEST_F(DataFileTest, HeaderOnlyReadsCodesAndLeavesImageAlone) {
  const std::string path = Path("fw.qvl");
  WriteFile(path, EncodedFile("2.74 ", 0x0102, 0x0304, RandomBytes(50, 2), 0x1000));
  image_.ImageData = {9, 9};
  image_.ImageStart = 77;
  EXPECT_EQ(Read(path, kAcceptEncoded, true), DataFileResult::EncodedFileLoaded);
  EXPECT_EQ(devCode_, 0x0102);
  EXPECT_EQ(variant_, 0x0304);
  EXPECT_EQ(image_.ImageData, (Bytes{9, 9}));
  EXPECT_EQ(image_.ImageStart, 77u);

  // Failures in header-only mode are silent.
  WriteFile(Path("v3.qvl"), EncodedFile("3.0 ", 1, 2, {1}, 0));
  WriteFile(Path("cut.qvl"), "Quorvel 2.74 \x01\x00\x02");
  WriteFile(Path("junk.qvl"), "junk");
  EXPECT_EQ(Read(Path("missing.qvl"), kAcceptEncoded, true), DataFileResult::FileNotFound);
  EXPECT_EQ(Read(Path("v3.qvl"), kAcceptEncoded, true), DataFileResult::BadVersion);
  EXPECT_EQ(Read(Path("cut.qvl"), kAcceptEncoded, true), DataFileResult::ReadError);
  EXPECT_EQ(Read(Path("junk.qvl"), kAcceptEncoded, true), DataFileResult::BadFormat);
  EXPECT_TRUE(prompt_.shown.empty());
}

TEST_F(DataFileTest, HexFileGivesOneAndZeroDeviceCodes) {
  const std::string path = Path("fw.hex");
  WriteFile(path, ":0400100001020304E2\r\n:00000001FF\r\n");
  EXPECT_EQ(Read(path), DataFileResult::HexFileLoaded);
  EXPECT_EQ(devCode_, 0);
  EXPECT_EQ(variant_, 0);
  EXPECT_EQ(image_.ImageStart, 0x10u);
  EXPECT_EQ(image_.ImageData, (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(version_, "");
}

TEST_F(DataFileTest, ReadOnlyHiddenFileKeepsAttributesAfterReadAndWrite) {
  const std::string path = Path(".fw.qvl");
  const Bytes image = RandomBytes(64, 4);
  ASSERT_TRUE(Write(path, image, false, 1, 2, 3));
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  EXPECT_EQ(Read(path), DataFileResult::EncodedFileLoaded);
  EXPECT_EQ(ModeOf(path), 0444u);

  // Declined: nothing written, no error message.
  prompt_.answer = false;
  EXPECT_FALSE(Write(path, RandomBytes(64, 5), true, 1, 2, 3));
  ASSERT_EQ(prompt_.shown.size(), 1u);
  EXPECT_TRUE(prompt_.shown[0].question);
  EXPECT_NE(prompt_.shown[0].text.find("'read only', 'hidden'"), std::string::npos);
  EXPECT_EQ(prompt_.shown[0].caption, "Save");
  EXPECT_EQ(Read(path), DataFileResult::EncodedFileLoaded);
  EXPECT_EQ(image_.ImageData, image);

  prompt_.answer = true;
  const Bytes second = RandomBytes(64, 6);
  EXPECT_TRUE(Write(path, second, true, 1, 2, 3));
  EXPECT_EQ(ModeOf(path), 0444u);
  EXPECT_EQ(Read(path), DataFileResult::EncodedFileLoaded);
  EXPECT_EQ(image_.ImageData, second);
  // Without the check the writer does not ask.
  prompt_.shown.clear();
  EXPECT_TRUE(Write(path, image, false, 1, 2, 3));
  EXPECT_TRUE(prompt_.shown.empty());
  EXPECT_EQ(ModeOf(path), 0444u);
  EXPECT_EQ(Entries(), std::vector<std::string>{".fw.qvl"});
}

TEST_F(DataFileTest, EmptyImageIsNotWrittenAndOldFileSurvives) {
  const std::string path = Path("fw.qvl");
  EXPECT_FALSE(Write(path, {}, false, 1, 2, 3));
  EXPECT_FALSE(PathExists(path));
  ASSERT_EQ(prompt_.shown.size(), 1u);
  EXPECT_EQ(prompt_.shown[0].text,
            "Data writing error in file:\r\n" + path + "\r\nthe image is empty");
  EXPECT_EQ(prompt_.shown[0].caption, "Error");

  WriteFile(path, "old");
  EXPECT_FALSE(Write(path, {}, false, 1, 2, 3));
  EXPECT_EQ(ReadFile(path), "old");
}

TEST_F(DataFileTest, UncreatableFileGivesWritingError) {
  Language = 0;
  const std::string path = Path("missing/fw.qvl");
  EXPECT_FALSE(Write(path, Bytes{1}, true, 1, 2, 3));
  ASSERT_EQ(prompt_.shown.size(), 1u);
  EXPECT_EQ(prompt_.shown[0].text, "Wystąpił błąd podczas zapisu pliku:\r\n" + path +
                                       "\r\nnie ma takiego pliku ani folderu");
  EXPECT_EQ(prompt_.shown[0].caption, "Błąd");
}

TEST_F(DataFileTest, FailedWriteKeepsOldFile) {
  const std::string path = Path("fw.qvl");
  const Bytes old = RandomBytes(1000, 11);
  ASSERT_TRUE(Write(path, old, false, 1, 2, 3));
  const std::string before = ReadFile(path);
  const Bytes big = RandomBytes(200000, 12);
  EXPECT_EQ(test::RunWithFileSizeLimit(64 * 1024, [&] { return Write(path, big, false, 1, 2, 3); }),
            1);
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(Entries(), std::vector<std::string>{"fw.qvl"});
}

// Reading opens the file as it is: a read-only file keeps its permissions
// and its status-change time however many readers it has at once.
TEST_F(DataFileTest, ReadingNeverChangesTheFile) {
  const Bytes image = RandomBytes(4096, 13);
  ASSERT_TRUE(Write(Path("fw.qvl"), image, false, 1, 2, 3));
  WriteFile(Path("fw.hex"), ":0400100001020304E2\r\n:00000001FF\r\n");
  for (const char* name : {"fw.qvl", "fw.hex"}) {
    const std::string path = Path(name);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  }
  // The status-change time moves in steps of the kernel's coarse clock; a
  // pause makes any change to the files show.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  struct stat before[2] = {};
  ASSERT_EQ(stat(Path("fw.qvl").c_str(), &before[0]), 0);
  ASSERT_EQ(stat(Path("fw.hex").c_str(), &before[1]), 0);

  std::atomic<int> failures{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      const std::string path = Path(t % 2 == 0 ? "fw.qvl" : "fw.hex");
      for (int i = 0; i < 200; ++i) {
        if (!ReadDataFile(path, kAcceptEncoded | kAcceptHex).Loaded()) ++failures;
      }
    });
  }
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(failures.load(), 0);
  const char* names[2] = {"fw.qvl", "fw.hex"};
  for (int i = 0; i < 2; ++i) {
    struct stat after {};
    ASSERT_EQ(stat(Path(names[i]).c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before[i].st_mode) << names[i];
    EXPECT_EQ(after.st_ctim.tv_sec, before[i].st_ctim.tv_sec) << names[i];
    EXPECT_EQ(after.st_ctim.tv_nsec, before[i].st_ctim.tv_nsec) << names[i];
  }
  EXPECT_TRUE(prompt_.shown.empty());
}

TEST_F(DataFileTest, UnreadableFileSaysPermissionDenied) {
  const std::string path = Path("secret.qvl");
  ASSERT_TRUE(Write(path, RandomBytes(10, 14), false, 1, 2, 3));
  ASSERT_EQ(chmod(path.c_str(), 0000), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  const int result = test::RunUnprivileged([&] {
    std::string causes;
    for (uint8_t language : {1, 0}) {
      Language = language;
      if (Read(path) != DataFileResult::ReadError || problem_.Line != 0) return false;
      causes += problem_.Cause + "|";
    }
    return causes == "permission denied|odmowa dostępu|";
  });
  ASSERT_NE(result, 2) << "could not drop privileges";
  EXPECT_EQ(result, 0);
}

TEST_F(DataFileTest, ProblemTextNamesFileLineAndCause) {
  const DataFileProblem onLine{12, "cause"};
  const DataFileProblem whole{0, "cause"};
  EXPECT_EQ(DataFileProblemText("fw.hex", onLine), "fw.hex: line 12: cause");
  EXPECT_EQ(DataFileProblemText("fw.hex", whole), "fw.hex: cause");
  Language = 0;
  EXPECT_EQ(DataFileProblemText("fw.hex", onLine), "fw.hex: wiersz 12: cause");
  EXPECT_EQ(DataFileProblemText("fw.hex", whole), "fw.hex: cause");
}

// Names up to the file system's limit are written; a longer one fails with
// the system's reason in the message and the detail, and the old file of a
// failed write stays.
TEST_F(DataFileTest, WriteNamesTheReasonOfAFailure) {
  const std::string longest = std::string(251, 'f') + ".qvl";
  const Bytes image = RandomBytes(300, 15);
  for (int round = 0; round < 2; ++round) {
    std::string detail = "stale";
    ASSERT_TRUE(Write(Path(longest), image, false, 1, 2, 3, &detail)) << detail;
    EXPECT_EQ(detail, "");
  }
  EXPECT_EQ(Read(Path(longest)), DataFileResult::EncodedFileLoaded);
  EXPECT_EQ(image_.ImageData, image);
  EXPECT_EQ(Entries(), std::vector<std::string>{longest});
  EXPECT_TRUE(prompt_.shown.empty());

  const std::string tooLong = Path("f" + longest);
  const std::string missing = Path("missing/fw.qvl");
  struct Case {
    std::string path;
    Bytes image;
    std::string reason;
  } cases[] = {
      {tooLong, image, "file name too long"},
      {missing, image, "no such file or directory"},
      {Path(longest), {}, "the image is empty"},
  };
  for (const auto& c : cases) {
    prompt_.shown.clear();
    std::string detail;
    EXPECT_FALSE(Write(c.path, c.image, false, 1, 2, 3, &detail)) << c.path;
    EXPECT_EQ(detail, c.reason);
    ASSERT_EQ(prompt_.shown.size(), 1u);
    EXPECT_EQ(prompt_.shown[0].text,
              "Data writing error in file:\r\n" + c.path + "\r\n" + c.reason);
  }
  EXPECT_EQ(Read(Path(longest)), DataFileResult::EncodedFileLoaded);
  EXPECT_EQ(image_.ImageData, image);
  EXPECT_EQ(Entries(), std::vector<std::string>{longest});

  // Declined by the user: no reason, no message beyond the question.
  ASSERT_EQ(chmod(Path(longest).c_str(), 0444), 0);
  prompt_.shown.clear();
  prompt_.answer = false;
  std::string detail = "stale";
  EXPECT_FALSE(Write(Path(longest), image, true, 1, 2, 3, &detail));
  EXPECT_EQ(detail, "");
  EXPECT_EQ(prompt_.shown.size(), 1u);
}

}  // namespace
}  // namespace quorvel
