// The telnet COM-PORT-OPTION (RFC 2217): the payloads of the subnegotiations
// a client sends to a device server to set its serial line, its control
// lines and to purge its buffers. No Qt, no sockets.
#pragma once

#include <cstdint>
#include <vector>

#include "run/line_settings.h"

namespace quorvel::com_port {

constexpr uint8_t kOption = 44;

// Client-to-server command codes; the server answers each with the code
// plus 100.
enum Command : uint8_t {
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kPurgeData = 12,
};

// SET-CONTROL values.
enum Control : uint8_t {
  kDtrOn = 8,
  kDtrOff = 9,
  kRtsOn = 11,
  kRtsOff = 12,
};

// PURGE-DATA values: the server's receive buffer (bytes from the line not
// yet sent to the client) and its transmit buffer (bytes for the line).
enum Purge : uint8_t {
  kPurgeReceive = 1,
  kPurgeTransmit = 2,
};

// One subnegotiation: command code and value bytes (without IAC SB 44 and
// IAC SE, and before IAC escaping, which the telnet layer adds).
using Payload = std::vector<uint8_t>;

// The four commands that put the line settings on the server's port, in the
// order baud rate, data size, parity, stop size.
std::vector<Payload> LinePayloads(const LineSettings& line);
Payload ControlPayload(Control value);
Payload PurgePayload(Purge which);
// A question the server answers whatever its state (the current data size,
// changing nothing): it shows that the server still answers.
Payload ProbePayload();

}  // namespace quorvel::com_port
