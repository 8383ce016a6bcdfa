// The two protocols on the device wire: user-application frames (0x68 ...
// 0x16) and the Q-LOAD bootloader's commands (0xB0) and replies (0x80/0x7F).
// Numbers on the wire are little-endian.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorvel {

// The protocol spoken: the instrument's user application or its Q-LOAD
// bootloader.
enum class TProtocol : uint8_t { App = 0, Boot = 1 };

// Little-endian numbers on the wire. The readers expect the bytes to be there.
inline uint16_t WireU16(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}
inline uint32_t WireU32(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at]) | (static_cast<uint32_t>(bytes[at + 1]) << 8) |
         (static_cast<uint32_t>(bytes[at + 2]) << 16) |
         (static_cast<uint32_t>(bytes[at + 3]) << 24);
}
inline void AppendWireU16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}
inline void AppendWireU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Growable byte block that knows its length; the receive accumulator. A
// locked block is never freed or resized by the frame extraction.
class ByteBlock {
 public:
  ByteBlock() = default;
  // Creates (or recreates) the block with `length` zero bytes.
  void Create(uint32_t length);
  // Resizes, keeping the bytes that fit; 0 frees the block.
  void Resize(uint32_t length);
  void Free();
  // Access to the bytes while locked; nullptr for an absent block.
  uint8_t* Lock();
  void Unlock();
  bool IsLocked() const { return locks_ > 0; }
  bool IsPresent() const { return present_; }
  // Number of bytes; 0 for an absent block.
  uint32_t Length() const { return present_ ? static_cast<uint32_t>(bytes_.size()) : 0; }
  // Copies the first n bytes into out and removes them; nothing when n is 0
  // or larger than the length.
  bool TakeFront(uint32_t n, uint8_t* out);
  // Frees the block unless it is locked; true when it is now absent.
  bool FreeUnlessLocked();
  // Read access without locking (for the owner's own inspection).
  std::span<const uint8_t> Bytes() const { return {bytes_.data(), Length()}; }
  // Appends bytes, creating the block when absent.
  void Append(std::span<const uint8_t> data);
  // Removes the first n bytes (all when n is larger); the block stays
  // present, possibly empty.
  void DropFront(uint32_t n);
  // Keeps the first `length` bytes; unlike Resize(0) the block stays present.
  void TruncateTo(uint32_t length);

 private:
  std::vector<uint8_t> bytes_;
  bool present_ = false;
  int locks_ = 0;
};

// User-application frame: 0x68, LEN (2), address, command, data, 0x16.
constexpr uint8_t kAppFrameStart = 0x68;
constexpr uint8_t kAppFrameEnd = 0x16;
constexpr uint16_t kAppFrameMinLength = 6;

std::vector<uint8_t> BuildAppFrame(uint8_t address, uint8_t command, const uint8_t* data,
                                   uint16_t dataLength);

// Appends the new bytes to the accumulator (which keeps one zero byte after
// the received bytes) and returns the length of a complete frame at its very
// start, or 0. The caller then takes that many bytes off the front.
uint32_t ExtractAppFrame(ByteBlock& accumulator, const uint8_t* data, uint32_t count);

// The application's firmware version from an identify reply whose texts start
// at dataOffset (5, or 10 for an RS-485 reply); nullopt when there is none.
std::optional<std::string> AppVersionFromIdentify(std::span<const uint8_t> frame,
                                                  size_t dataOffset);

// Bootloader command codes.
constexpr uint8_t kBootConnect = 1;
constexpr uint8_t kBootReadInfo = 2;
constexpr uint8_t kBootErase = 3;
constexpr uint8_t kBootWrite = 4;
constexpr uint8_t kBootReset = 5;

constexpr uint8_t kBootCommandPrefix = 0xB0;
constexpr uint8_t kBootPositive = 0x80;
constexpr uint8_t kBootNegative = 0x7F;
constexpr uint8_t kBootErrorErase = 3;
constexpr uint8_t kBootErrorWrite = 4;
constexpr uint8_t kSupportedBootProtocol = 1;

// 0xB0 and the code (connect, read device information, reset).
std::vector<uint8_t> BuildBootCommand(uint8_t code);
// Erase: 0xB0 0x03 and the two identity words.
std::vector<uint8_t> BuildEraseCommand(uint16_t serialPart1, uint16_t serialPart2);
// Write: 0xB0 0x04, identity words, address, block, CRC-16/MODBUS over the
// address bytes and the block.
std::vector<uint8_t> BuildWriteCommand(uint16_t serialPart1, uint16_t serialPart2, uint32_t address,
                                       std::span<const uint8_t> block);

// Length of the positive reply to a command code: 2, 20, 6 or 2; 0 (never
// complete) for other codes.
uint32_t ExpectedReplyLength(uint8_t commandCode);

// Bytes that can begin an answer: a bootloader reply (0x80, 0x7F), a
// user-application frame (0x68).
inline bool StartsBootReply(uint8_t byte) {
  return byte == kBootPositive || byte == kBootNegative;
}
inline bool StartsAppFrame(uint8_t byte) {
  return byte == kAppFrameStart;
}

// Bootloader reply assembly. Whatever comes before the first byte that can
// begin a reply is not part of one: the offset of that byte (the size when
// there is none).
size_t BootReplyStart(std::span<const uint8_t> bytes);
// The length of the reply at the start of `reply` once it is complete,
// while the answer to the command `commandCode` is awaited: a negative reply
// at 2 bytes, a positive one at the length of that command's answer (chosen
// by the command sent, not by the reply's second byte). 0 while it is not
// complete, when it never will be, and when `reply` does not start with
// 0x80 or 0x7F.
uint32_t CompleteBootReplyLength(std::span<const uint8_t> reply, uint8_t commandCode);

// The image as the bootloader takes it: each little-endian 16-bit word XOR
// the key (the sum of the identity words) and the word's index within its
// block, in place. The image is a whole number of blocks.
void ScrambleImageWords(std::span<uint8_t> image, uint16_t key, uint32_t blockSize);

constexpr uint32_t kDeviceInfoLength = 20;

// The 20-byte positive reply to "read device information".
struct DeviceInfo {
  uint16_t SerialPart1 = 0;
  uint16_t SerialPart2 = 0;
  std::string BootVersion;  // up to the zero byte, at most 8 characters
  uint16_t DeviceCode = 0;
  uint16_t BlockSize = 0;
  uint8_t ProtocolVersion = 0;
};

// Reads a device-information reply; nullopt when it is shorter than 20 bytes
// or does not start with 0x80 0x02.
std::optional<DeviceInfo> ParseDeviceInfo(std::span<const uint8_t> reply);

// The 20-byte reply a bootloader sends for `info` (the instrument's side).
std::vector<uint8_t> BuildDeviceInfoReply(const DeviceInfo& info);

}  // namespace quorvel
