// Plain words for the blocks of bytes that travel to and from an
// instrument, as a monitor shows them: each bootloader command and reply,
// each user-application frame, echoes and noise. It reads the bytes with the
// same frame code the engine uses, so the two never disagree.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "run/device_types.h"

namespace quorvel {

enum class TrafficDirection : uint8_t { Sent, Received };

class TrafficDecoder {
 public:
  // The device-type row gives the addresses of identify and enter-bootloader
  // requests; without it (the monitor program knows only the port), those
  // that every device type with a user application uses.
  explicit TrafficDecoder(std::optional<TDevAvailData> row = std::nullopt);

  // The block's meaning in the current Language, several items joined by
  // "; ". Blocks must be given in wire order: a reply is read against the
  // command sent last, an echo against the block sent last.
  std::string Describe(TrafficDirection direction, std::span<const uint8_t> bytes);

 private:
  std::string DescribeSent(std::span<const uint8_t> bytes);
  std::string DescribeReceived(std::span<const uint8_t> bytes);
  // Reads one item at the front of `rest`; returns how many bytes it took.
  size_t DescribeReplyItem(std::span<const uint8_t> rest, std::string& out);
  std::string DescribeAppFrame(std::span<const uint8_t> frame, bool reply) const;
  // A reply cut at the chunk's end: named as such and kept for the next.
  size_t KeepIncomplete(std::span<const uint8_t> rest, std::string& out);

  // No reply or frame is longer than a frame's 16-bit length.
  static constexpr size_t kMaxPending = 65535;

  std::optional<TDevAvailData> row_;
  std::vector<uint8_t> lastSent_;
  // How much of the block sent last has come back as its echo; the whole
  // block once no (more) echo is to be expected.
  size_t echoed_ = 0;
  std::vector<uint8_t> pending_;
  // Code of the bootloader command sent last; 0 before the first.
  uint8_t lastCommand_ = 0;
};

}  // namespace quorvel
