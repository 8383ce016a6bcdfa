// Port names that reach an instrument over the network, beside the device
// paths: "rfc2217://HOST:PORT" (a device server that takes the line settings
// through RFC 2217) and "tcp://HOST:PORT" (a raw TCP bridge whose line is set
// on the server). HOST is a host name, an IPv4 address or an IPv6 address in
// brackets; PORT is 1 to 65535. No Qt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

enum class NetworkPortKind { Rfc2217, Tcp };

struct NetworkPortName {
  NetworkPortKind kind;
  // Without the brackets of an IPv6 address.
  std::string host;
  uint16_t port;
};

// True when the name starts as a network port name does ("rfc2217://" or
// "tcp://"), well formed or not: such a name is never a device path.
bool LooksLikeNetworkPortName(std::string_view name);

// The parts of a well-formed network port name, none otherwise.
std::optional<NetworkPortName> ParseNetworkPortName(std::string_view name);

// How many characters at the start of a colon-separated port list make its
// first entry when that entry is a network port name, whose HOST:PORT holds
// colons of its own (an IPv6 address in brackets included); 0 when the
// list does not start with one.
size_t NetworkPortNameLength(std::string_view list);

}  // namespace quorvel
