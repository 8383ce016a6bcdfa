// Port names of serial ports reached over the network through a device
// server: "tcp://HOST:PORT" (a raw TCP bridge whose line settings are fixed
// on the server) and "rfc2217://HOST:PORT" (telnet with the COM-PORT-OPTION:
// the line settings, RTS/DTR and purges are sent to the server). HOST is a
// name, an IPv4 address or an IPv6 address in brackets. No Qt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

struct NetworkPort {
  enum class Kind : uint8_t { RawTcp, Rfc2217 };
  Kind kind = Kind::RawTcp;
  std::string host;  // without the brackets of an IPv6 address
  uint16_t port = 0;
  // "HOST:PORT" as given, for messages.
  std::string address;
};

// True when the name starts with one of the network schemes (whether or not
// the rest is well-formed).
bool IsNetworkPortName(std::string_view name);

// The parts of a well-formed network port name; none for any other name.
std::optional<NetworkPort> ParseNetworkPort(std::string_view name);

}  // namespace quorvel
