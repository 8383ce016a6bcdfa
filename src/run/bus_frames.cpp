#include "run/bus_frames.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "datafile/utilities.h"

namespace quorvel {

// ---- ByteBlock ----

void ByteBlock::Create(uint32_t length) {
  bytes_.assign(length, 0);
  present_ = true;
  locks_ = 0;
}

void ByteBlock::Resize(uint32_t length) {
  if (length == 0) {
    Free();
    return;
  }
  bytes_.resize(length, 0);
  present_ = true;
}

void ByteBlock::Free() {
  std::vector<uint8_t>().swap(bytes_);
  present_ = false;
  locks_ = 0;
}

uint8_t* ByteBlock::Lock() {
  if (!present_) return nullptr;
  // An empty block still hands out a valid address.
  if (bytes_.capacity() == 0) bytes_.reserve(1);
  ++locks_;
  return bytes_.data();
}

void ByteBlock::Unlock() {
  if (locks_ > 0) --locks_;
}

bool ByteBlock::TakeFront(uint32_t n, uint8_t* out) {
  if (n == 0 || n > Length()) return false;
  if (out != nullptr) std::memcpy(out, bytes_.data(), n);
  if (n == bytes_.size() && !IsLocked()) {
    Free();
  } else {
    bytes_.erase(bytes_.begin(), bytes_.begin() + n);
  }
  return true;
}

bool ByteBlock::FreeUnlessLocked() {
  if (!present_) return true;
  if (IsLocked()) return false;
  Free();
  return true;
}

void ByteBlock::Append(std::span<const uint8_t> data) {
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  present_ = true;
}

void ByteBlock::DropFront(uint32_t n) {
  const size_t count = std::min<size_t>(n, bytes_.size());
  bytes_.erase(bytes_.begin(), bytes_.begin() + count);
}

void ByteBlock::TruncateTo(uint32_t length) {
  if (length < bytes_.size()) bytes_.resize(length);
}

// ---- User-application frames ----

namespace {

uint16_t ReadU16(const uint8_t* bytes) {
  return WireU16({bytes, 2}, 0);
}

// Number of received bytes in an accumulator that keeps one zero byte after
// them. A block without that zero (filled by someone else) counts whole.
uint32_t ReceivedLength(const ByteBlock& accumulator) {
  const uint32_t length = accumulator.Length();
  if (length == 0) return 0;
  return accumulator.Bytes()[length - 1] == 0 ? length - 1 : length;
}

// Puts `count` new bytes behind the received ones and keeps the zero byte
// after them. False when the memory could not be had.
bool AppendReceived(ByteBlock& accumulator, const uint8_t* data, uint32_t count) {
  try {
    accumulator.TruncateTo(ReceivedLength(accumulator));
    if (count > 0) accumulator.Append({data, count});
    const uint8_t terminator = 0;
    accumulator.Append({&terminator, 1});
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

constexpr uint32_t kLengthFieldEnd = 3;  // start byte and the two LEN bytes

}  // namespace

std::vector<uint8_t> BuildAppFrame(uint8_t address, uint8_t command, const uint8_t* data,
                                   uint16_t dataLength) {
  // LEN counts the whole frame in 16 bits; longer data cannot be framed.
  if (dataLength > 0xFFFF - kAppFrameMinLength) return {};
  if (data == nullptr) dataLength = 0;
  std::vector<uint8_t> frame;
  frame.reserve(dataLength + kAppFrameMinLength);
  frame.push_back(kAppFrameStart);
  AppendWireU16(frame, static_cast<uint16_t>(dataLength + kAppFrameMinLength));
  frame.push_back(address);
  frame.push_back(command);
  frame.insert(frame.end(), data, data + dataLength);
  frame.push_back(kAppFrameEnd);
  return frame;
}

uint32_t ExtractAppFrame(ByteBlock& accumulator, const uint8_t* data, uint32_t count) {
  if (data == nullptr) count = 0;
  if (count == 0 && ReceivedLength(accumulator) == 0) return 0;
  if (accumulator.IsLocked()) return 0;
  if (!AppendReceived(accumulator, data, count)) return 0;

  const uint8_t* bytes = accumulator.Bytes().data();
  const uint32_t received = accumulator.Length() - 1;
  uint32_t cursor = 0;
  for (;;) {
    const uint8_t* found =
        static_cast<const uint8_t*>(std::memchr(bytes + cursor, kAppFrameStart, received - cursor));
    if (found == nullptr) {
      accumulator.DropFront(received);  // only the zero byte stays
      return 0;
    }
    const uint32_t start = static_cast<uint32_t>(found - bytes);
    const uint32_t available = received - start;
    // Every start byte before `start` has been ruled out for good, so the
    // bytes before it are dropped whenever we wait: a waiting accumulator
    // never holds more than one unfinished frame (LEN <= 65535).
    if (available < kLengthFieldEnd) {
      accumulator.DropFront(start);
      return 0;
    }
    const uint32_t length = ReadU16(bytes + start + 1);
    if (length < kAppFrameMinLength) {
      cursor = start + 1;
      continue;
    }
    if (length > available) {
      // A start byte with a length that never arrives must not block a
      // complete frame behind it: take a later frame that ends exactly with
      // the last byte received.
      if (bytes[received - 1] == kAppFrameEnd) {
        for (uint32_t later = start + 1; later + kLengthFieldEnd <= received; ++later) {
          if (bytes[later] != kAppFrameStart) continue;
          if (later + ReadU16(bytes + later + 1) == received) {
            accumulator.DropFront(later);
            return 0;
          }
        }
      }
      accumulator.DropFront(start);
      return 0;
    }
    if (bytes[start + length - 1] == kAppFrameEnd) {
      accumulator.DropFront(start);
      return length;
    }
    cursor = start + 1;
  }
}

std::optional<std::string> AppVersionFromIdentify(std::span<const uint8_t> frame,
                                                  size_t dataOffset) {
  if (frame.empty()) return std::nullopt;
  const size_t last = frame.size() - 1;  // the end byte
  auto isVersionChar = [](uint8_t c) {
    return (c >= '0' && c <= '9') || c == '.' || c == 'V' || c == 'v';
  };
  size_t pos = dataOffset;
  while (pos < last) {
    size_t end = pos;
    while (end < last && frame[end] != 0) ++end;
    const auto text = frame.subspan(pos, end - pos);
    if (std::all_of(text.begin(), text.end(), isVersionChar)) {
      auto first = std::find_if(text.begin(), text.end(),
                                [](uint8_t c) { return c != '.' && c != 'V' && c != 'v'; });
      return std::string(first, text.end());
    }
    pos = end + 1;
  }
  return std::nullopt;
}

// ---- Bootloader commands and replies ----

std::vector<uint8_t> BuildBootCommand(uint8_t code) {
  return {kBootCommandPrefix, code};
}

std::vector<uint8_t> BuildEraseCommand(uint16_t serialPart1, uint16_t serialPart2) {
  std::vector<uint8_t> command{kBootCommandPrefix, kBootErase};
  AppendWireU16(command, serialPart1);
  AppendWireU16(command, serialPart2);
  return command;
}

std::vector<uint8_t> BuildWriteCommand(uint16_t serialPart1, uint16_t serialPart2, uint32_t address,
                                       std::span<const uint8_t> block) {
  std::vector<uint8_t> command;
  command.reserve(2 + 4 + 4 + block.size() + 2);
  command.push_back(kBootCommandPrefix);
  command.push_back(kBootWrite);
  AppendWireU16(command, serialPart1);
  AppendWireU16(command, serialPart2);
  const size_t addressAt = command.size();
  AppendWireU32(command, address);
  command.insert(command.end(), block.begin(), block.end());
  // The checksum covers the address and the block only.
  const uint16_t crc = CalcCRC16(command.data() + addressAt,
                                 static_cast<int64_t>(command.size() - addressAt), 0xFFFF);
  AppendWireU16(command, crc);
  return command;
}

uint32_t ExpectedReplyLength(uint8_t commandCode) {
  switch (commandCode) {
    case kBootConnect:
    case kBootErase:
    case kBootReset:
      return 2;
    case kBootReadInfo:
      return kDeviceInfoLength;
    case kBootWrite:
      return 6;
    default:
      return 0;
  }
}

void ScrambleImageWords(std::span<uint8_t> image, uint16_t key, uint32_t blockSize) {
  const uint32_t wordsPerBlock = blockSize / 2;
  if (wordsPerBlock == 0) return;
  for (size_t j = 0; j < image.size() / 2; ++j) {
    uint8_t* p = image.data() + 2 * j;
    const uint16_t word = static_cast<uint16_t>(p[0] | (p[1] << 8));
    const auto scrambled = static_cast<uint16_t>(word ^ key ^ (j % wordsPerBlock));
    p[0] = static_cast<uint8_t>(scrambled);
    p[1] = static_cast<uint8_t>(scrambled >> 8);
  }
}

size_t BootReplyStart(std::span<const uint8_t> bytes) {
  const auto start = std::find_if(bytes.begin(), bytes.end(), StartsBootReply);
  return static_cast<size_t>(start - bytes.begin());
}

uint32_t CompleteBootReplyLength(std::span<const uint8_t> reply, uint8_t commandCode) {
  if (reply.empty() || !StartsBootReply(reply[0])) return 0;
  const uint32_t length = reply[0] == kBootNegative ? 2 : ExpectedReplyLength(commandCode);
  return length != 0 && reply.size() >= length ? length : 0;
}

namespace {
constexpr size_t kVersionOffset = 6;
constexpr size_t kVersionField = 9;
}  // namespace

std::optional<DeviceInfo> ParseDeviceInfo(std::span<const uint8_t> reply) {
  if (reply.size() < kDeviceInfoLength || reply[0] != kBootPositive || reply[1] != kBootReadInfo) {
    return std::nullopt;
  }
  DeviceInfo info;
  info.SerialPart1 = ReadU16(&reply[2]);
  info.SerialPart2 = ReadU16(&reply[4]);
  const auto field = reply.subspan(kVersionOffset, kVersionField);
  auto zero = std::find(field.begin(), field.end(), uint8_t{0});
  if (zero == field.end()) zero = field.begin() + (kVersionField - 1);
  info.BootVersion.assign(field.begin(), zero);
  info.DeviceCode = ReadU16(&reply[15]);
  info.BlockSize = ReadU16(&reply[17]);
  info.ProtocolVersion = reply[19];
  return info;
}

std::vector<uint8_t> BuildDeviceInfoReply(const DeviceInfo& info) {
  std::vector<uint8_t> reply{kBootPositive, kBootReadInfo};
  AppendWireU16(reply, info.SerialPart1);
  AppendWireU16(reply, info.SerialPart2);
  const size_t textLength = std::min(info.BootVersion.size(), kVersionField - 1);
  reply.insert(reply.end(), info.BootVersion.begin(), info.BootVersion.begin() + textLength);
  reply.resize(kVersionOffset + kVersionField, 0);
  AppendWireU16(reply, info.DeviceCode);
  AppendWireU16(reply, info.BlockSize);
  reply.push_back(info.ProtocolVersion);
  return reply;
}

}  // namespace quorvel
