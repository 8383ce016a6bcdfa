#include "datafile/hex_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

namespace quorvel {
namespace {

// A record needs at most the colon and 260 pairs (count, two address bytes,
// type, 255 data bytes, checksum); whatever follows is never looked at, so
// a line is never stored beyond this.
constexpr size_t kMaxRecordChars = 1 + 2 * (5 + 255);
constexpr size_t kReadChunk = 64 * 1024;
constexpr uint8_t kNotHex = 0xFF;

constexpr std::array<uint8_t, 256> MakeHexTable() {
  std::array<uint8_t, 256> table{};
  for (auto& value : table) value = kNotHex;
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<uint8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<uint8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<uint8_t>(c - 'a' + 10);
  return table;
}

constexpr std::array<uint8_t, 256> kHexValue = MakeHexTable();

inline bool IsHexChar(char c) {
  return kHexValue[static_cast<unsigned char>(c)] != kNotHex;
}

bool AllHex(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (!IsHexChar(text[i])) return false;
  }
  return true;
}

// Byte of pair `index` (1 = the count) of a record line; the caller has made
// sure the pair exists.
inline uint8_t PairAt(std::string_view line, size_t index) {
  size_t pos = 2 * index - 1;
  return static_cast<uint8_t>((kHexValue[static_cast<unsigned char>(line[pos])] << 4) |
                              kHexValue[static_cast<unsigned char>(line[pos + 1])]);
}

inline size_t PairCount(std::string_view line) {
  return (line.size() - 1) / 2;
}

// Hands out the record lines of a file one at a time (a colon followed by
// hexadecimal digits only); every other line is skipped. Lines end with LF
// or CR LF, the last one possibly with neither. Works with a fixed buffer
// whatever the length of the lines.
class RecordLineReader {
 public:
  explicit RecordLineReader(int fd) : fd_(fd), buffer_(kReadChunk) {}

  // 1 with the next record line (cut to kMaxRecordChars), 0 at the end of
  // the file, -1 when reading fails.
  int Next(std::string_view& line) {
    for (;;) {
      if (pos_ == end_) {
        if (atEof_) {
          if (carrySeen_ == 0 && !pendingCR_) return 0;
          if (FinishCarry(line)) return 1;
          continue;
        }
        if (!Refill()) return -1;
        continue;
      }
      const char* start = buffer_.data() + pos_;
      size_t available = end_ - pos_;
      const char* newline = static_cast<const char*>(std::memchr(start, '\n', available));
      if (newline == nullptr) {
        Append(start, available, false);
        pos_ = end_;
        continue;
      }
      size_t length = static_cast<size_t>(newline - start);
      pos_ += length + 1;
      if (carrySeen_ == 0 && !pendingCR_) {
        if (length > 0 && start[length - 1] == '\r') --length;
        if (length > 0 && start[0] == ':' && AllHex(start + 1, length - 1)) {
          line = std::string_view(start, std::min(length, kMaxRecordChars));
          return 1;
        }
        continue;
      }
      Append(start, length, true);
      if (FinishCarry(line)) return 1;
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
      size_t take = std::min(length, kMaxRecordChars - carryLength_);
      std::memcpy(carry_.data() + carryLength_, text, take);
      carryLength_ += take;
    }
    carrySeen_ += length;
  }

  // Ends the carried line; true when it is a record line.
  bool FinishCarry(std::string_view& line) {
    bool isRecord = !carryBad_ && carrySeen_ > 0;
    line = std::string_view(carry_.data(), carryLength_);
    carrySeen_ = 0;
    carryLength_ = 0;
    carryBad_ = false;
    pendingCR_ = false;
    return isRecord;
  }

  int fd_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool atEof_ = false;
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

// The fields of a record line common to both passes.
struct RecordHead {
  uint8_t count = 0;
  uint16_t address = 0;
  uint8_t type = 0;
};

// Reads count, address and type; for a segment record it also moves the
// segment base. -1 when the line is too short for what its type needs.
int ReadHead(std::string_view line, RecordHead& head, uint32_t& segmentBase) {
  size_t pairs = PairCount(line);
  if (pairs < 4) return -1;
  head.count = PairAt(line, 1);
  head.address = static_cast<uint16_t>((PairAt(line, 2) << 8) | PairAt(line, 3));
  head.type = PairAt(line, 4);
  if (head.type == kTypeEnd) return 0;
  if (head.type == kTypeSegment || head.type == kTypeLinear) {
    if (pairs < 6) return -1;
    uint32_t value = (static_cast<uint32_t>(PairAt(line, 5)) << 8) | PairAt(line, 6);
    segmentBase = head.type == kTypeSegment ? value << 4 : value << 16;
  }
  if (pairs < 5u + head.count) return -1;
  return 0;
}

bool ChecksumOk(std::string_view line, uint8_t count) {
  uint32_t sum = 0;
  for (size_t pair = 1; pair <= 5u + count; ++pair) sum += PairAt(line, pair);
  return (sum & 0xFF) == 0;
}

struct Span {
  uint32_t start = 0xFFFFFFFF;
  uint64_t end = 0;
  bool any = false;
};

// First pass: checks every record and finds the span of the data records.
int Survey(int fd, Span& span) {
  RecordLineReader reader(fd);
  uint32_t segmentBase = 0;
  std::string_view line;
  for (;;) {
    int got = reader.Next(line);
    if (got <= 0) return got;
    RecordHead head;
    if (ReadHead(line, head, segmentBase) < 0) return -1;
    if (head.type == kTypeEnd) return 0;
    if (!ChecksumOk(line, head.count)) return -5;
    if (head.type != kTypeData) continue;
    uint32_t absolute = segmentBase + head.address;
    uint64_t end = static_cast<uint64_t>(absolute) + head.count;
    // An image must end inside the 32-bit address space.
    if (end > 0xFFFFFFFFu) return -1;
    if (!span.any || absolute < span.start) span.start = absolute;
    if (!span.any || end > span.end) span.end = end;
    span.any = true;
  }
}

// Second pass: stores the data records into the block that covers the span.
// The file may have changed since the survey, so every record is checked
// against the block again.
int Fill(int fd, uint32_t start, std::vector<uint8_t>& block) {
  RecordLineReader reader(fd);
  uint32_t segmentBase = 0;
  std::string_view line;
  for (;;) {
    int got = reader.Next(line);
    if (got <= 0) return got;
    RecordHead head;
    if (ReadHead(line, head, segmentBase) < 0) return -1;
    if (head.type == kTypeEnd) return 0;
    if (head.type != kTypeData) continue;
    uint32_t absolute = segmentBase + head.address;
    if (absolute < start) return -1;
    uint64_t offset = absolute - start;
    if (offset + head.count > block.size()) return -1;
    uint8_t* out = block.data() + offset;
    for (size_t i = 0; i < head.count; ++i) out[i] = PairAt(line, 5 + i);
  }
}

class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  ~FileCloser() {
    if (fd_ >= 0) close(fd_);
  }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  int fd_;
};

}  // namespace

int32_t ReadHexFile(const std::string& fileName, FirmwareImage& image) {
  // Non-blocking open: a FIFO or device under the name must not hang us.
  int fd = open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  FileCloser closer(fd);
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  Span span;
  if (int result = Survey(fd, span); result != 0) return result;
  if (!span.any) {
    image.Release();
    image.ImageStart = 0xFFFFFFFF;
    return 0;
  }
  uint64_t size = span.end - span.start;
  if (size > kMaxImageSize) return -1;

  std::vector<uint8_t> block(static_cast<size_t>(size), 0xFF);
  if (lseek(fd, 0, SEEK_SET) != 0) return -1;
  if (Fill(fd, span.start, block) != 0) return -1;
  image.ImageData = std::move(block);
  image.ImageStart = span.start;
  return 0;
}

}  // namespace quorvel
