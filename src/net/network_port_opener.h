// The opener a serial link component is given for network port names
// (tcp://HOST:PORT, rfc2217://HOST:PORT): each open makes a NetTransport,
// and the reason a connection failed goes to the note.
#pragma once

#include <cstdint>
#include <memory>

#include "net/net_transport.h"
#include "serial/comm32kx.h"

namespace quorvel {

// The network's share of the automatic frame gap. A device server sends on
// what it read from the line after its own pause (ser2net waits up to 20 ms
// for more characters by default), and the network adds its jitter: bytes of
// one reply can arrive this far apart. The gap stays below the standard
// 50 ms, so a complete reply still goes on with its last byte.
constexpr uint32_t kNetworkLatencyMs = 20;

TComm32Kx::TPortOpener NetworkPortOpener(std::shared_ptr<NetFailureNote> note);

}  // namespace quorvel
