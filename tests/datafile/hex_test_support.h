// Building Intel HEX record lines for the tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace quorvel::test {

// One record line without its line end; `checksumDelta` spoils the checksum.
inline std::string Record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data,
                          int checksumDelta = 0) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()),
                                static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address & 0xFF), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint32_t sum = 0;
  for (uint8_t b : bytes) sum += b;
  bytes.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF) + checksumDelta));
  std::string line = ":";
  char pair[3];
  for (uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", b);
    line += pair;
  }
  return line;
}

inline std::string Data(uint16_t address, const std::vector<uint8_t>& data) {
  return Record(0, address, data);
}
inline std::string Linear(uint16_t upper) {
  return Record(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
}
inline std::string Segment(uint16_t segment) {
  return Record(2, 0, {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)});
}
inline std::string EndOfFile() {
  return ":00000001FF";
}

inline std::string Lines(const std::vector<std::string>& lines, const std::string& end = "\r\n") {
  std::string text;
  for (const auto& line : lines) text += line + end;
  return text;
}

}  // namespace quorvel::test
