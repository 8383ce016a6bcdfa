#include "sim/intel_hex_writer.h"

#include <algorithm>
#include <cstdio>

namespace quorvel::sim {
namespace {

void AppendRecord(std::string& out, uint8_t type, uint16_t offset, const uint8_t* data,
                  size_t count) {
  char hex[3];
  uint8_t sum = static_cast<uint8_t>(count + (offset >> 8) + (offset & 0xFF) + type);
  auto put = [&](uint8_t b) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    out += hex;
  };
  out += ':';
  put(static_cast<uint8_t>(count));
  put(static_cast<uint8_t>(offset >> 8));
  put(static_cast<uint8_t>(offset & 0xFF));
  put(type);
  for (size_t i = 0; i < count; ++i) {
    put(data[i]);
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  put(static_cast<uint8_t>(-sum));
  out += '\n';
}

}  // namespace

std::string FormatIntelHex(const FlashMemory& flash) {
  std::string out;
  uint32_t segment = 0;  // upper 16 bits currently in force
  flash.ForEachWrittenRun([&](uint32_t address, std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const uint32_t at = address + static_cast<uint32_t>(done);
      if ((at >> 16) != segment) {
        segment = at >> 16;
        const uint8_t upper[2] = {static_cast<uint8_t>(segment >> 8),
                                  static_cast<uint8_t>(segment & 0xFF)};
        AppendRecord(out, 0x04, 0, upper, 2);
      }
      // A record stays inside its 64 KiB segment.
      size_t count = std::min<size_t>(16, bytes.size() - done);
      count = std::min<size_t>(count, 0x10000 - (at & 0xFFFF));
      AppendRecord(out, 0x00, static_cast<uint16_t>(at & 0xFFFF), bytes.data() + done, count);
      done += count;
    }
  });
  AppendRecord(out, 0x01, 0, nullptr, 0);
  return out;
}

}  // namespace quorvel::sim
