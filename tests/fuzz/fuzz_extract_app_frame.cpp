// libFuzzer target: ExtractAppFrame over arbitrary received bytes, cut into
// arrivals whose sizes come from the input's first four bytes. Frames are
// taken off as the receive handler does; every returned frame must lie
// inside the accumulator and look like a frame, and a waiting accumulator
// never holds more than one unfinished frame.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "run/bus_frames.h"

namespace {

constexpr size_t kSizeBytes = 4;
// LEN is at most 65535, plus the zero byte kept after the received bytes.
constexpr uint32_t kWaitingLimit = 0x10000;

void Check(bool condition) {
  if (!condition) std::abort();
}

// Takes every frame that is complete now; returns when the extraction waits.
void TakeFrames(quorvel::ByteBlock& accumulator, const uint8_t* data, uint32_t count) {
  uint32_t length = quorvel::ExtractAppFrame(accumulator, data, count);
  while (length != 0) {
    Check(length >= quorvel::kAppFrameMinLength);
    Check(length < accumulator.Length());  // the zero byte stays behind the frame
    const auto bytes = accumulator.Bytes();
    Check(bytes[0] == quorvel::kAppFrameStart);
    Check((bytes[1] | (bytes[2] << 8)) == static_cast<int>(length));
    Check(bytes[length - 1] == quorvel::kAppFrameEnd);
    std::vector<uint8_t> frame(length);
    Check(accumulator.TakeFront(length, frame.data()));
    length = quorvel::ExtractAppFrame(accumulator, nullptr, 0);
  }
  Check(accumulator.Length() <= kWaitingLimit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kSizeBytes) return 0;
  uint32_t pieces[kSizeBytes];
  for (size_t i = 0; i < kSizeBytes; ++i) pieces[i] = data[i] + 1u;
  quorvel::ByteBlock accumulator;
  size_t at = kSizeBytes;
  for (size_t n = 0; at < size; ++n) {
    const uint32_t piece =
        static_cast<uint32_t>(std::min<size_t>(pieces[n % kSizeBytes], size - at));
    TakeFrames(accumulator, data + at, piece);
    at += piece;
  }
  TakeFrames(accumulator, nullptr, 0);
  return 0;
}
