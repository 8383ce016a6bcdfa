// libFuzzer target: what the monitor side reads from outside. The first
// byte picks the reader: a saved trace's line (a formatted row must read
// back as itself), the launch argument and the port payload, or the decoder
// over received chunks (cut where the input's bytes say) after a command.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "run/monitor_messages.h"
#include "run/traffic_decoder.h"
#include "run/traffic_trace.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void TraceLine(std::string_view text) {
  const auto row = quorvel::ParseTraceLine(text);
  if (!row) return;
  Check(!row->bytes.empty() && row->bytes.size() <= quorvel::kTraceMaxBlock);
  const std::string line = quorvel::FormatTraceLine(*row);
  const auto again = quorvel::ParseTraceLine(std::string_view(line).substr(0, line.size() - 1));
  Check(again.has_value() && *again == *row);
}

void LaunchAndPayload(std::string_view text) {
  if (const auto launch = quorvel::ParseMonitorLaunchArgument(text)) {
    Check(launch->token != 0 && launch->device.linkKind <= 1);
  }
  const std::vector<uint8_t> payload(text.begin(), text.end());
  if (const auto device = quorvel::ParseDevicePayload(payload)) {
    Check(device->port.size() + 2 == payload.size());
  }
}

void Decoder(const uint8_t* data, size_t size) {
  quorvel::TrafficDecoder decoder;
  // The command sent first, then chunks whose lengths are the bytes' low bits.
  const size_t command = std::min<size_t>(size, 2 + (size > 0 ? data[0] % 16 : 0));
  decoder.Describe(quorvel::TrafficDirection::Sent, {data, command});
  for (size_t at = command; at < size;) {
    const size_t length = std::min<size_t>(size - at, 1 + data[at] % 64);
    Check(!decoder.Describe(quorvel::TrafficDirection::Received, {data + at, length}).empty());
    at += length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 3) {
    case 0: TraceLine(text); break;
    case 1: LaunchAndPayload(text); break;
    default: Decoder(data + 1, size - 1); break;
  }
  return 0;
}
