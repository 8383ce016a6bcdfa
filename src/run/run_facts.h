// What a run learnt from the instrument and how far it got: the one record of
// a run's facts, which the run's host keeps and a report reads.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

// Kept as the run went (the engine's record is cleared when the run ends).
struct RunFacts {
  // The device information was received: the four fields below hold what the
  // instrument reported.
  bool InfoReported = false;
  uint16_t SerialPart1 = 0;
  uint16_t SerialPart2 = 0;
  uint16_t DeviceCode = 0;
  std::string BootVersion;
  // The device code was one that is not compared with the selected type
  // (1 to 5, 65535): nothing confirmed that the instrument is of that type.
  bool DeviceCheckSkipped = false;
  // Bytes of the image done, as the "Bytes written" line counts them: blocks
  // acknowledged and empty blocks passed over. Total: the image in whole
  // blocks (0 until the block size is known).
  uint32_t BytesWritten = 0;
  uint32_t BytesTotal = 0;
  // Empty blocks passed over in the last writing pass.
  uint32_t BlocksSkipped = 0;
  // The firmware version the user application reported in its identify
  // reply; none when no reply with a version text came.
  std::optional<std::string> AppVersion;
  // The start bytes the instrument's user application handed over for its
  // enter-bootloader request (M-530), kept by the run, never in a row.
  std::vector<uint8_t> StartBytes;
  // From Start to the end of the run.
  std::chrono::milliseconds Duration{0};
};

}  // namespace quorvel
