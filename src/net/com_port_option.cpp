#include "net/com_port_option.h"

namespace quorvel::com_port {

std::vector<Payload> LinePayloads(const LineSettings& line) {
  const uint32_t baud = BaudRateValue(line.Baud);
  // Data bits 4..8 are ordinals 0..4.
  const auto dataSize = static_cast<uint8_t>(line.DataBits + 4);
  uint8_t parity = 1;  // NONE
  switch (line.Parity) {
    case pbOdd:
      parity = 2;
      break;
    case pbEven:
      parity = 3;
      break;
    case pbMark:
      parity = 4;
      break;
    case pbSpace:
      parity = 5;
      break;
    default:
      break;
  }
  uint8_t stopSize = 1;
  if (line.StopBits == sbTwo) stopSize = 2;
  if (line.StopBits == sbOnePointFive) stopSize = 3;
  return {
      {kSetBaudRate, static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
       static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)},
      {kSetDataSize, dataSize},
      {kSetParity, parity},
      {kSetStopSize, stopSize},
  };
}

Payload ControlPayload(Control value) {
  return {kSetControl, value};
}

Payload PurgePayload(Purge which) {
  return {kPurgeData, which};
}

Payload ProbePayload() {
  return {kSetDataSize, 0};
}

}  // namespace quorvel::com_port
