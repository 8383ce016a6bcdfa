#include "datafile/hex_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "app/globals.h"
#include "app/text_utils.h"
#include "datafile/file_checks.h"
#include "datafile/system_error_text.h"

namespace quorvel {
namespace {

// A record has at most 260 pairs after its colon (count, two address bytes,
// type, 255 data bytes, checksum).
constexpr size_t kMaxRecordPairs = 5 + 255;
constexpr size_t kMaxRecordDigits = 2 * kMaxRecordPairs;
// The part of a line that is kept whole: the colon and the digits of the
// longest record. Past it a whole record can only have trailing blanks and
// tabs, so the rest of a longer line is scanned as it arrives, not stored.
constexpr size_t kMaxRecordChars = 1 + kMaxRecordDigits;
constexpr size_t kReadChunk = 64 * 1024;

constexpr TextPair kBlank{"spacja", "a blank"};
constexpr TextPair kTab{"tabulator", "a tab"};
constexpr TextPair kCharacter{"znak '%s'", "character '%s'"};
constexpr TextPair kByte{"bajt %s", "byte %s"};
constexpr TextPair kNotHexDigit{"%s w kolumnie %s nie jest cyfrą szesnastkową",
                                "%s at column %s is not a hexadecimal digit"};
constexpr TextPair kOddDigits{"nieparzysta liczba cyfr szesnastkowych: %s",
                              "odd number of hexadecimal digits: %s"};
constexpr TextPair kTooShort{
    "rekord za krótki: liczba cyfr szesnastkowych %s, potrzeba co najmniej 10",
    "record too short: %s hexadecimal digits, at least 10 needed"};
constexpr TextPair kShortForCount{
    "rekord za krótki względem liczby bajtów %s: powinno być cyfr szesnastkowych: %s, jest: %s",
    "record too short for its byte count %s: %s hexadecimal digits needed, %s found"};
constexpr TextPair kLongForCount{
    "rekord za długi względem liczby bajtów %s: powinno być cyfr szesnastkowych: %s, jest: %s",
    "record too long for its byte count %s: %s hexadecimal digits needed, %s found"};
constexpr TextPair kBadChecksum{"błędna suma kontrolna: rekord ma 0x%s, a powinien mieć 0x%s",
                                "bad checksum: the record has 0x%s, its bytes need 0x%s"};
constexpr TextPair kCountForType{"rekord typu %s musi mieć liczbę bajtów %s, a ma %s",
                                 "a record of type %s must have byte count %s, not %s"};
constexpr TextPair kNoEndRecord{"brak rekordu końca pliku (typ 01): plik jest niekompletny",
                                "no end-of-file record (type 01): the file is incomplete"};
constexpr TextPair kSpanTooLarge{"dane obejmują więcej niż 64 MiB adresów",
                                 "the data span more than 64 MiB of addresses"};
constexpr TextPair kPastEnd{"dane wychodzą poza adres 0xFFFFFFFF",
                            "the data run past address 0xFFFFFFFF"};

// Digit value, or kNotHex for any other character; kNotHex has a bit no
// digit has, so OR-ing the values of a line tells whether all were digits.
constexpr uint16_t kNotHex = 0x100;

constexpr std::array<uint16_t, 256> MakeHexTable() {
  std::array<uint16_t, 256> table{};
  for (auto& value : table) value = kNotHex;
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<uint16_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<uint16_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<uint16_t>(c - 'a' + 10);
  return table;
}

constexpr std::array<uint16_t, 256> kHexValue = MakeHexTable();

inline uint16_t HexValue(char c) {
  return kHexValue[static_cast<unsigned char>(c)];
}

// Byte value of every two-character pair (indexed by the two characters as
// they lie in memory), or kNotHex: one look-up per byte of a record.
const std::array<uint16_t, 65536>& PairTable() {
  static const std::array<uint16_t, 65536> table = [] {
    std::array<uint16_t, 65536> t{};
    for (uint32_t first = 0; first < 256; ++first) {
      for (uint32_t second = 0; second < 256; ++second) {
        const uint16_t high = kHexValue[first];
        const uint16_t low = kHexValue[second];
        const char pair[2] = {static_cast<char>(first), static_cast<char>(second)};
        uint16_t index = 0;
        std::memcpy(&index, pair, 2);
        t[index] =
            ((high | low) & kNotHex) != 0 ? kNotHex : static_cast<uint16_t>((high << 4) | low);
      }
    }
    return t;
  }();
  return table;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string Hex2(unsigned value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

// A character of a record line that cannot be there, and its column
// (1-based; the colon is column 1). Column 0: none.
struct BadChar {
  uint64_t column = 0;
  uint8_t value = 0;
};

std::string CharacterText(uint8_t c) {
  if (c == ' ') return kBlank.str();
  if (c == '\t') return kTab.str();
  if (c > 0x20 && c < 0x7F)
    return FormatText(kCharacter.text(), {std::string(1, static_cast<char>(c))});
  return FormatText(kByte.text(), {"0x" + Hex2(c)});
}

std::string NotHexText(const BadChar& bad) {
  return FormatText(kNotHexDigit.text(), {CharacterText(bad.value), std::to_string(bad.column)});
}

std::string LengthText(const TextPair& pattern, unsigned count, uint64_t digits) {
  return FormatText(pattern.text(), {std::to_string(count), std::to_string(2 * (5 + count)),
                                     std::to_string(digits)});
}

// What follows the kept part of a long record line, noted character by
// character: the column of its last character that is neither blank nor
// tab, and the first character that makes the line no record (a blank
// counts once something other than blanks follows it).
struct LineTail {
  uint64_t lastNonBlank = 0;
  uint64_t blankRun = 0;
  uint8_t blankChar = 0;
  BadChar bad;

  void Add(char c, uint64_t column) {
    if (IsBlank(c)) {
      if (blankRun == 0) {
        blankRun = column;
        blankChar = static_cast<uint8_t>(c);
      }
      return;
    }
    if (bad.column == 0) {
      if (blankRun != 0) {
        bad = {blankRun, blankChar};
      } else if ((HexValue(c) & kNotHex) != 0) {
        bad = {column, static_cast<uint8_t>(c)};
      }
    }
    blankRun = 0;
    lastNonBlank = column;
  }
};

// The bytes of one record line: the pairs after the colon, decoded; exactly
// 5 + byte count of them.
struct RecordBytes {
  const uint8_t* bytes = nullptr;
  size_t pairs = 0;
};

// Hands out the record lines of a file one at a time, each checked to be one
// whole record; lines that do not start with ':' are skipped. Lines end with
// LF or CR LF, the last one possibly with neither (or with CR alone). Works
// with a fixed buffer whatever the length of the lines.
class RecordLineReader {
 public:
  explicit RecordLineReader(ByteSource& source) : source_(source), buffer_(kReadChunk) {}

  // 1 with the next record line, 0 at the end of the file, -1 with the cause
  // when reading fails or a line starting with ':' is no whole record.
  int Next(RecordBytes& record, std::string& cause) {
    for (;;) {
      if (pos_ == end_) {
        if (atEof_) {
          if (carry_ == Carry::kNone) return 0;
          ++line_;
          if (const int got = FinishCarry(record, cause); got != 0) return got;
          continue;
        }
        if (!Refill()) {
          cause = ReadFailedText(errno);
          return -1;
        }
        continue;
      }
      const char* start = buffer_.data() + pos_;
      const size_t available = end_ - pos_;
      const char* newline = static_cast<const char*>(std::memchr(start, '\n', available));
      if (newline == nullptr) {
        AddPiece(start, available);
        pos_ = end_;
        continue;
      }
      size_t length = static_cast<size_t>(newline - start);
      pos_ += length + 1;
      ++line_;
      if (carry_ == Carry::kNone) {
        // The whole line is in the buffer: check and decode it in one go.
        if (length == 0 || start[0] != ':') continue;
        if (start[length - 1] == '\r') --length;
        return DecodeLine(std::string_view(start, length), LineTail{}, record, cause) ? 1 : -1;
      }
      AddPiece(start, length);
      if (const int got = FinishCarry(record, cause); got != 0) return got;
    }
  }

  // 1-based number of the line last handed out or refused.
  uint32_t Line() const { return line_; }

 private:
  enum class Carry { kNone, kRecord, kSkip };

  // false with errno set when reading fails.
  bool Refill() {
    const ssize_t got = source_.Read(buffer_.data(), buffer_.size());
    if (got < 0) return false;
    pos_ = 0;
    end_ = static_cast<size_t>(got);
    atEof_ = got == 0;
    return true;
  }

  // Checks and decodes a record line: `line` is its start (the colon first,
  // no line end), `tail` what followed beyond it. False with the cause when
  // it is no whole record; the first fault in the line is the one named.
  bool DecodeLine(std::string_view line, const LineTail& tail, RecordBytes& record,
                  std::string& cause) {
    const bool goesOn = tail.lastNonBlank != 0;
    size_t end = line.size();
    if (!goesOn) {
      while (end > 1 && IsBlank(line[end - 1])) --end;
    }
    const char* digits = line.data() + 1;
    const size_t digitCount = end - 1;
    if (!goesOn && digitCount <= kMaxRecordDigits && digitCount % 2 == 0) {
      const size_t pairs = digitCount / 2;
      uint16_t seen = 0;
      for (size_t i = 0; i < pairs; ++i) {
        uint16_t index = 0;
        std::memcpy(&index, digits + 2 * i, 2);
        const uint16_t value = pairTable_[index];
        seen |= value;
        bytes_[i] = static_cast<uint8_t>(value);
      }
      if ((seen & kNotHex) == 0) return CheckLength(pairs, record, cause);
    }
    for (size_t i = 0; i < digitCount; ++i) {
      if ((HexValue(digits[i]) & kNotHex) != 0) {
        cause = NotHexText({i + 2, static_cast<uint8_t>(digits[i])});
        return false;
      }
    }
    if (tail.bad.column != 0) {
      cause = NotHexText(tail.bad);
      return false;
    }
    const uint64_t total = goesOn ? tail.lastNonBlank - 1 : digitCount;
    if (total % 2 != 0) {
      cause = FormatText(kOddDigits.text(), {std::to_string(total)});
      return false;
    }
    // Only digits, more of them than any record has.
    uint16_t index = 0;
    std::memcpy(&index, digits, 2);
    cause = LengthText(kLongForCount, pairTable_[index], total);
    return false;
  }

  // The decoded pairs against the record's byte count.
  bool CheckLength(size_t pairs, RecordBytes& record, std::string& cause) const {
    if (pairs < 5) {
      cause = FormatText(kTooShort.text(), {std::to_string(2 * pairs)});
      return false;
    }
    const unsigned count = bytes_[0];
    if (pairs != 5 + count) {
      cause = LengthText(pairs < 5 + count ? kShortForCount : kLongForCount, count, 2 * pairs);
      return false;
    }
    record.bytes = bytes_.data();
    record.pairs = pairs;
    return true;
  }

  // Adds a piece of a line that spans buffer refills. A CR at the end of a
  // piece is held back until it is known whether the line ends after it.
  void AddPiece(const char* text, size_t length) {
    if (length == 0) return;
    if (carry_ == Carry::kNone) carry_ = text[0] == ':' ? Carry::kRecord : Carry::kSkip;
    if (carry_ == Carry::kSkip) return;
    if (pendingCR_) {
      pendingCR_ = false;
      AddChars("\r", 1);
    }
    if (text[length - 1] == '\r') {
      --length;
      pendingCR_ = true;
    }
    AddChars(text, length);
  }

  void AddChars(const char* text, size_t length) {
    const size_t keep = std::min(length, kMaxRecordChars - kept_);
    std::memcpy(carryChars_.data() + kept_, text, keep);
    kept_ += keep;
    lineLength_ += keep;
    for (size_t i = keep; i < length; ++i) tail_.Add(text[i], ++lineLength_);
  }

  // Ends the carried line: 1 for a record, -1 for a line that should have
  // been one, 0 for a skipped line.
  int FinishCarry(RecordBytes& record, std::string& cause) {
    int result = 0;
    if (carry_ == Carry::kRecord) {
      result =
          DecodeLine(std::string_view(carryChars_.data(), kept_), tail_, record, cause) ? 1 : -1;
    }
    carry_ = Carry::kNone;
    kept_ = 0;
    lineLength_ = 0;
    tail_ = LineTail{};
    pendingCR_ = false;
    return result;
  }

  const std::array<uint16_t, 65536>& pairTable_ = PairTable();
  ByteSource& source_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool atEof_ = false;
  uint32_t line_ = 0;
  std::array<uint8_t, kMaxRecordPairs> bytes_{};
  Carry carry_ = Carry::kNone;
  std::array<char, kMaxRecordChars> carryChars_{};
  size_t kept_ = 0;
  uint64_t lineLength_ = 0;
  LineTail tail_;
  bool pendingCR_ = false;
};

constexpr uint8_t kTypeData = 0;
constexpr uint8_t kTypeEnd = 1;
constexpr uint8_t kTypeSegment = 2;
constexpr uint8_t kTypeSegmentStart = 3;
constexpr uint8_t kTypeLinear = 4;
constexpr uint8_t kTypeLinearStart = 5;

// The byte count a record of the type must have; -1 when any will do.
int RequiredCount(uint8_t type) {
  switch (type) {
    case kTypeEnd:
      return 0;
    case kTypeSegment:
    case kTypeLinear:
      return 2;
    case kTypeSegmentStart:
    case kTypeLinearStart:
      return 4;
    default:
      return -1;
  }
}

// The image being assembled: the covered address span [low, high) inside a
// block with free room at either end, so that files in ascending or
// descending order both grow it in amortised linear time. The block never
// exceeds kMaxImageSize.
class ImageBuilder {
 public:
  // Stores a data record; false when the span would exceed kMaxImageSize.
  bool Store(uint32_t address, const uint8_t* data, size_t count) {
    const uint64_t low = any_ ? std::min<uint64_t>(low_, address) : address;
    const uint64_t high = any_ ? std::max<uint64_t>(high_, address + count) : address + count;
    if (high - low > kMaxImageSize) return false;
    if (low < base_ || high > base_ + block_.size()) Grow(low, high);
    low_ = low;
    high_ = high;
    any_ = true;
    if (count > 0) std::memcpy(block_.data() + (address - base_), data, count);
    return true;
  }

  bool empty() const { return !any_; }
  uint32_t start() const { return static_cast<uint32_t>(low_); }

  // The span as a block of exactly its size.
  std::vector<uint8_t> Take() {
    const auto first = block_.begin() + static_cast<ptrdiff_t>(low_ - base_);
    if (first == block_.begin() && block_.size() == high_ - low_) return std::move(block_);
    return std::vector<uint8_t>(first, first + static_cast<ptrdiff_t>(high_ - low_));
  }

 private:
  void Grow(uint64_t low, uint64_t high) {
    const uint64_t needed = high - low;
    // Room for as much again (at least 64 KiB) in the direction of growth,
    // within the limit and the 32-bit address space.
    const uint64_t room =
        std::min<uint64_t>(std::max<uint64_t>(needed, 64 * 1024), kMaxImageSize - needed);
    uint64_t newBase = low;
    uint64_t newEnd = high;
    if (!any_ || high > base_ + block_.size()) newEnd = std::min<uint64_t>(high + room, 1ull << 32);
    if (any_ && low < base_) newBase = low > room ? low - room : 0;
    if (newEnd - newBase > kMaxImageSize) newEnd = newBase + kMaxImageSize;
    std::vector<uint8_t> grown(static_cast<size_t>(newEnd - newBase), 0xFF);
    if (high_ > low_) {
      std::memcpy(grown.data() + (low_ - newBase), block_.data() + (low_ - base_),
                  static_cast<size_t>(high_ - low_));
    }
    block_ = std::move(grown);
    base_ = newBase;
  }

  std::vector<uint8_t> block_;
  uint64_t base_ = 0;
  uint64_t low_ = 0;
  uint64_t high_ = 0;
  bool any_ = false;
};

// Walks the records in file order up to the end-of-file record: checks each
// record's byte count for its type and its checksum, and stores the data
// records. An image too large is noticed at once but only reported when the
// rest of the file is whole, so that a checksum error further on still reads
// as -5.
int ReadRecords(ByteSource& source, ImageBuilder& image, DataFileProblem& problem) {
  RecordLineReader reader(source);
  uint32_t segmentBase = 0;
  std::optional<DataFileProblem> tooLarge;
  RecordBytes record;
  for (;;) {
    const int got = reader.Next(record, problem.Cause);
    problem.Line = reader.Line();
    if (got < 0) return -1;
    if (got == 0) {
      problem = {0, kNoEndRecord.str()};
      return -1;
    }
    const uint8_t* b = record.bytes;
    const uint8_t count = b[0];
    const uint16_t address = static_cast<uint16_t>((b[1] << 8) | b[2]);
    const uint8_t type = b[3];
    if (const int required = RequiredCount(type); required >= 0 && count != required) {
      problem.Cause = FormatText(kCountForType.text(),
                                 {Hex2(type), std::to_string(required), std::to_string(count)});
      return -1;
    }
    if (type == kTypeEnd) break;
    uint32_t sum = 0;
    for (size_t i = 0; i < 4u + count; ++i) sum += b[i];
    const uint8_t expected = static_cast<uint8_t>(0x100 - (sum & 0xFF));
    if (b[4 + count] != expected) {
      problem.Cause = FormatText(kBadChecksum.text(), {Hex2(b[4 + count]), Hex2(expected)});
      return -5;
    }
    if (type == kTypeSegment || type == kTypeLinear) {
      const uint32_t value = (static_cast<uint32_t>(b[4]) << 8) | b[5];
      segmentBase = type == kTypeSegment ? value << 4 : value << 16;
    }
    if (type != kTypeData || tooLarge) continue;
    const uint32_t absolute = segmentBase + address;
    // An image must end inside the 32-bit address space.
    if (static_cast<uint64_t>(absolute) + count > 0xFFFFFFFFu) {
      problem.Cause = kPastEnd.str();
      return -1;
    }
    if (!image.Store(absolute, b + 4, count))
      tooLarge = DataFileProblem{reader.Line(), kSpanTooLarge.str()};
  }
  if (tooLarge) {
    problem = *tooLarge;
    return -1;
  }
  problem = {};
  return 0;
}

}  // namespace

int32_t ReadHexSource(ByteSource& source, FirmwareImage& image, DataFileProblem* problem) {
  DataFileProblem unused;
  DataFileProblem& found = problem != nullptr ? *problem : unused;
  found = {};
  ImageBuilder builder;
  if (const int result = ReadRecords(source, builder, found); result != 0) return result;
  if (builder.empty()) {
    image.Release();
    image.ImageStart = 0xFFFFFFFF;
    return 0;
  }
  image.ImageData = builder.Take();
  image.ImageStart = builder.start();
  return 0;
}

int32_t ReadHexBytes(std::span<const uint8_t> bytes, FirmwareImage& image,
                     DataFileProblem* problem) {
  MemoryByteSource source(bytes);
  return ReadHexSource(source, image, problem);
}

int32_t ReadHexFile(const std::string& fileName, FirmwareImage& image, DataFileProblem* problem) {
  const RegularFileForReading file(fileName);
  if (!file.IsOpen()) {
    if (problem != nullptr) *problem = {0, file.Failure()};
    return -1;
  }
  posix_fadvise(file.Fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
  FileByteSource source(file.Fd(), file.Size());
  return ReadHexSource(source, image, problem);
}

}  // namespace quorvel
