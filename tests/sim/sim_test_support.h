// Helpers shared by the instrument tests: device rows, the host side of the
// bootloader protocol as the programming engine builds it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run/bus_frames.h"
#include "run/device_types.h"
#include "sim/instrument.h"

namespace quorvel::sim::test {

inline TDevAvailData Row(const std::string& displayText) {
  const TDevAvailArray list = BuildDeviceList();
  const int index = FindDeviceByDisplayText(list, displayText);
  return index > 0 ? list[static_cast<size_t>(index)] : TDevAvailData{};
}

inline InstrumentOptions OptionsFor(const std::string& displayText) {
  InstrumentOptions options;
  options.Device = Row(displayText);
  return options;
}

// The block as the engine sends it: every 16-bit word XOR K XOR its index
// within the block, K = SerialPart1 + SerialPart2 (mod 65536).
inline std::vector<uint8_t> Scramble(std::vector<uint8_t> block, uint16_t sp1, uint16_t sp2) {
  const uint16_t key = static_cast<uint16_t>(sp1 + sp2);
  for (size_t j = 0; 2 * j + 1 < block.size(); ++j) {
    const uint16_t mask = static_cast<uint16_t>(key ^ j);
    block[2 * j] ^= static_cast<uint8_t>(mask & 0xFF);
    block[2 * j + 1] ^= static_cast<uint8_t>(mask >> 8);
  }
  return block;
}

inline std::vector<uint8_t> WriteCommand(uint16_t sp1, uint16_t sp2, uint32_t address,
                                         const std::vector<uint8_t>& plainBlock) {
  return BuildWriteCommand(sp1, sp2, address, Scramble(plainBlock, sp1, sp2));
}

inline std::vector<uint8_t> Ack(uint8_t code) {
  return {kBootPositive, code};
}
inline std::vector<uint8_t> Nak(uint8_t code) {
  return {kBootNegative, code};
}
inline std::vector<uint8_t> WriteAck(uint32_t address) {
  return {kBootPositive,
          kBootWrite,
          static_cast<uint8_t>(address),
          static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(address >> 16),
          static_cast<uint8_t>(address >> 24)};
}

// The answers only (echoes left out), each as its bytes.
inline std::vector<std::vector<uint8_t>> Answers(const std::vector<InstrumentOutput>& outputs) {
  std::vector<std::vector<uint8_t>> answers;
  for (const auto& out : outputs) {
    if (out.Type == InstrumentOutput::Kind::Answer) answers.push_back(out.Bytes);
  }
  return answers;
}

// Sends a command and returns the single answer, or an empty vector.
inline std::vector<uint8_t> Exchange(Instrument& instrument, const std::vector<uint8_t>& command) {
  const auto answers = Answers(instrument.Feed(command));
  return answers.empty() ? std::vector<uint8_t>{} : answers.front();
}

}  // namespace quorvel::sim::test
