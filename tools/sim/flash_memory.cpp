#include "sim/flash_memory.h"

namespace quorvel::sim {

FlashMemory::FlashMemory(uint32_t capacityBytes)
    : maxPages_((capacityBytes + kPageSize - 1) / kPageSize) {}

void FlashMemory::Erase() {
  pages_.clear();
}

bool FlashMemory::Write(uint32_t address, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return true;
  const uint64_t end = static_cast<uint64_t>(address) + bytes.size();
  if (end > (uint64_t{1} << 32)) return false;
  const uint32_t firstPage = address / kPageSize;
  const uint32_t lastPage = static_cast<uint32_t>((end - 1) / kPageSize);

  // Check everything first so that a refused write leaves no trace.
  size_t newPages = 0;
  for (uint64_t a = address; a < end; ++a) {
    const auto it = pages_.find(static_cast<uint32_t>(a / kPageSize));
    if (it == pages_.end()) continue;
    const uint32_t offset = static_cast<uint32_t>(a % kPageSize);
    if (it->second->Written[offset] && it->second->Data[offset] != bytes[a - address]) {
      return false;
    }
  }
  for (uint32_t p = firstPage; p <= lastPage; ++p) {
    if (!pages_.contains(p)) ++newPages;
  }
  if (pages_.size() + newPages > maxPages_) return false;

  for (uint64_t a = address; a < end; ++a) {
    auto& page = pages_[static_cast<uint32_t>(a / kPageSize)];
    if (!page) {
      page = std::make_unique<Page>();
      page->Data.fill(0xFF);
    }
    const uint32_t offset = static_cast<uint32_t>(a % kPageSize);
    page->Data[offset] = bytes[a - address];
    page->Written[offset] = true;
  }
  return true;
}

std::vector<uint8_t> FlashMemory::Read(uint32_t address, uint32_t length) const {
  std::vector<uint8_t> out(length, 0xFF);
  for (uint32_t i = 0; i < length; ++i) {
    const uint64_t a = static_cast<uint64_t>(address) + i;
    if (a >= (uint64_t{1} << 32)) break;
    const auto it = pages_.find(static_cast<uint32_t>(a / kPageSize));
    if (it != pages_.end()) out[i] = it->second->Data[a % kPageSize];
  }
  return out;
}

bool FlashMemory::IsWritten(uint32_t address) const {
  const auto it = pages_.find(address / kPageSize);
  return it != pages_.end() && it->second->Written[address % kPageSize];
}

uint64_t FlashMemory::WrittenCount() const {
  uint64_t count = 0;
  for (const auto& [number, page] : pages_) count += page->Written.count();
  return count;
}

void FlashMemory::ForEachWrittenRun(
    const std::function<void(uint32_t, std::span<const uint8_t>)>& fn) const {
  for (const auto& [number, page] : pages_) {
    uint32_t i = 0;
    while (i < kPageSize) {
      if (!page->Written[i]) {
        ++i;
        continue;
      }
      uint32_t j = i;
      while (j < kPageSize && page->Written[j]) ++j;
      fn(number * kPageSize + i, std::span<const uint8_t>(page->Data.data() + i, j - i));
      i = j;
    }
  }
}

}  // namespace quorvel::sim
