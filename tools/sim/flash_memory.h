// The program memory of the simulated instrument: sparse pages of bytes
// with a record of which bytes were written since the last erase.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <vector>

namespace quorvel::sim {

class FlashMemory {
 public:
  static constexpr uint32_t kPageSize = 4096;
  // Written bytes are kept for at most this much address space; a host that
  // writes all over the 32-bit range gets refusals instead of our memory.
  static constexpr uint32_t kDefaultCapacity = 64u * 1024 * 1024;

  explicit FlashMemory(uint32_t capacityBytes = kDefaultCapacity);

  // Every byte back to 0xFF, nothing written.
  void Erase();

  // Stores bytes at address. Refused (false, nothing stored) when the range
  // wraps past 32 bits, when a byte was already written with another value
  // (flash cannot turn a 0 bit back into 1 without an erase) or when the
  // pages needed exceed the capacity.
  bool Write(uint32_t address, std::span<const uint8_t> bytes);

  // The bytes at address; 0xFF where nothing was written.
  std::vector<uint8_t> Read(uint32_t address, uint32_t length) const;

  bool IsWritten(uint32_t address) const;
  bool Empty() const { return pages_.empty(); }
  // Number of bytes written since the last erase.
  uint64_t WrittenCount() const;

  // Calls fn for each run of consecutively written bytes, in ascending
  // address order. Runs do not cross page boundaries.
  void ForEachWrittenRun(
      const std::function<void(uint32_t address, std::span<const uint8_t> bytes)>& fn) const;

 private:
  struct Page {
    std::array<uint8_t, kPageSize> Data;
    std::bitset<kPageSize> Written;
  };
  std::map<uint32_t, std::unique_ptr<Page>> pages_;  // keyed by page number
  uint32_t maxPages_;
};

}  // namespace quorvel::sim
