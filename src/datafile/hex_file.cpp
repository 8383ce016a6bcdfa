#include "datafile/hex_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "datafile/file_checks.h"

namespace quorvel {
namespace {

// A record has at most 260 pairs after its colon (count, two address bytes,
// type, 255 data bytes, checksum); whatever follows them is never looked
// at, so no more of a line is ever stored.
constexpr size_t kMaxRecordPairs = 5 + 255;
constexpr size_t kMaxRecordChars = 1 + 2 * kMaxRecordPairs;
constexpr size_t kReadChunk = 64 * 1024;

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

bool AllHex(const char* text, size_t length) {
  uint16_t seen = 0;
  for (size_t i = 0; i < length; ++i) seen |= HexValue(text[i]);
  return (seen & kNotHex) == 0;
}

// The bytes of one record line: the pairs after the colon, decoded, at most
// kMaxRecordPairs of them.
struct RecordBytes {
  const uint8_t* bytes = nullptr;
  size_t pairs = 0;
};

// Hands out the record lines of a file one at a time (a colon followed by
// hexadecimal digits only); every other line is skipped. Lines end with LF
// or CR LF, the last one possibly with neither. Works with a fixed buffer
// whatever the length of the lines.
class RecordLineReader {
 public:
  explicit RecordLineReader(int fd) : fd_(fd), buffer_(kReadChunk) {}

  // 1 with the next record line, 0 at the end of the file, -1 when reading
  // fails.
  int Next(RecordBytes& record) {
    for (;;) {
      if (pos_ == end_) {
        if (atEof_) {
          if (carrySeen_ == 0 && !pendingCR_) return 0;
          if (FinishCarry(record)) return 1;
          continue;
        }
        if (!Refill()) return -1;
        continue;
      }
      const char* start = buffer_.data() + pos_;
      const size_t available = end_ - pos_;
      const char* newline = static_cast<const char*>(std::memchr(start, '\n', available));
      if (newline == nullptr) {
        Append(start, available, false);
        pos_ = end_;
        continue;
      }
      size_t length = static_cast<size_t>(newline - start);
      pos_ += length + 1;
      if (carrySeen_ == 0 && !pendingCR_) {
        // The whole line is in the buffer: check and decode it in one go.
        if (length > 0 && start[length - 1] == '\r') --length;
        if (DecodeLine(start, length, record)) return 1;
        continue;
      }
      Append(start, length, true);
      if (FinishCarry(record)) return 1;
    }
  }

 private:
  bool Refill() {
    for (;;) {
      ssize_t got = read(fd_, buffer_.data(), buffer_.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return false;
      pos_ = 0;
      end_ = static_cast<size_t>(got);
      atEof_ = got == 0;
      return true;
    }
  }

  // Decodes a complete line; false when it is not a record line.
  bool DecodeLine(const char* text, size_t length, RecordBytes& record) {
    if (length == 0 || text[0] != ':') return false;
    const char* digits = text + 1;
    const size_t digitCount = length - 1;
    const size_t decoded = std::min(digitCount / 2, kMaxRecordPairs);
    const std::array<uint16_t, 65536>& pairs = pairTable_;
    uint16_t seen = 0;
    for (size_t i = 0; i < decoded; ++i) {
      uint16_t index = 0;
      std::memcpy(&index, digits + 2 * i, 2);
      const uint16_t value = pairs[index];
      seen |= value;
      bytes_[i] = static_cast<uint8_t>(value);
    }
    if ((seen & kNotHex) != 0) return false;
    if (!AllHex(digits + 2 * decoded, digitCount - 2 * decoded)) return false;
    record.bytes = bytes_.data();
    record.pairs = decoded;
    return true;
  }

  // Adds a piece of a line that spans buffer refills. A CR at the end of a
  // piece is held back until it is known whether LF follows.
  void Append(const char* text, size_t length, bool lineEnds) {
    if (length == 0) return;
    if (pendingCR_) {
      pendingCR_ = false;
      AddChars("\r", 1);
    }
    if (text[length - 1] == '\r') {
      --length;
      pendingCR_ = !lineEnds;
    }
    AddChars(text, length);
  }

  void AddChars(const char* text, size_t length) {
    if (length == 0 || carryBad_) {
      carrySeen_ += length;
      return;
    }
    size_t i = 0;
    if (carrySeen_ == 0) {
      if (text[0] != ':') carryBad_ = true;
      i = 1;
    }
    if (!carryBad_ && !AllHex(text + i, length - i)) carryBad_ = true;
    if (!carryBad_ && carryLength_ < kMaxRecordChars) {
      const size_t take = std::min(length, kMaxRecordChars - carryLength_);
      std::memcpy(carry_.data() + carryLength_, text, take);
      carryLength_ += take;
    }
    carrySeen_ += length;
  }

  // Ends the carried line; true when it is a record line.
  bool FinishCarry(RecordBytes& record) {
    const bool isRecord = !carryBad_ && carrySeen_ > 0;
    if (isRecord) DecodeLine(carry_.data(), carryLength_, record);
    carrySeen_ = 0;
    carryLength_ = 0;
    carryBad_ = false;
    pendingCR_ = false;
    return isRecord;
  }

  const std::array<uint16_t, 65536>& pairTable_ = PairTable();
  int fd_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool atEof_ = false;
  std::array<uint8_t, kMaxRecordPairs> bytes_{};
  std::array<char, kMaxRecordChars> carry_{};
  size_t carryLength_ = 0;
  size_t carrySeen_ = 0;
  bool carryBad_ = false;
  bool pendingCR_ = false;
};

constexpr uint8_t kTypeData = 0;
constexpr uint8_t kTypeEnd = 1;
constexpr uint8_t kTypeSegment = 2;
constexpr uint8_t kTypeLinear = 4;

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

// Walks the records in file order: checks each checksum and stores the data
// records. An image too large is noticed at once but only reported after
// the rest of the file has been checked, so that a checksum error further
// on still reads as -5.
int ReadRecords(int fd, ImageBuilder& image) {
  RecordLineReader reader(fd);
  uint32_t segmentBase = 0;
  bool tooLarge = false;
  RecordBytes record;
  for (;;) {
    const int got = reader.Next(record);
    if (got < 0) return -1;
    if (got == 0) break;
    const uint8_t* b = record.bytes;
    if (record.pairs < 4) return -1;
    const uint8_t count = b[0];
    const uint16_t address = static_cast<uint16_t>((b[1] << 8) | b[2]);
    const uint8_t type = b[3];
    if (type == kTypeEnd) break;
    if (type == kTypeSegment || type == kTypeLinear) {
      if (record.pairs < 6) return -1;
      const uint32_t value = (static_cast<uint32_t>(b[4]) << 8) | b[5];
      segmentBase = type == kTypeSegment ? value << 4 : value << 16;
    }
    if (record.pairs < 5u + count) return -1;
    uint32_t sum = 0;
    for (size_t i = 0; i < 5u + count; ++i) sum += b[i];
    if ((sum & 0xFF) != 0) return -5;
    if (type != kTypeData || tooLarge) continue;
    const uint32_t absolute = segmentBase + address;
    // An image must end inside the 32-bit address space.
    if (static_cast<uint64_t>(absolute) + count > 0xFFFFFFFFu) return -1;
    if (!image.Store(absolute, b + 4, count)) tooLarge = true;
  }
  return tooLarge ? -1 : 0;
}

}  // namespace

int32_t ReadHexFile(const std::string& fileName, FirmwareImage& image) {
  const RegularFileForReading file(fileName);
  if (!file.IsOpen()) return -1;
  const int fd = file.Fd();
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  ImageBuilder builder;
  if (const int result = ReadRecords(fd, builder); result != 0) return result;
  if (builder.empty()) {
    image.Release();
    image.ImageStart = 0xFFFFFFFF;
    return 0;
  }
  image.ImageData = builder.Take();
  image.ImageStart = builder.start();
  return 0;
}

}  // namespace quorvel
