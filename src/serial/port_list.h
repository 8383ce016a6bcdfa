// The serial ports of the system: the terminals under /sys/class/tty that
// belong to a device (real UARTs, USB adapters, CDC-ACM), plus extra paths
// for virtual ports (the environment variable QUORVEL_EXTRA_PORTS names
// some); their order and the names that occur twice. No Qt.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

inline constexpr const char* kSysClassTty = "/sys/class/tty";
inline constexpr const char* kExtraPortsVariable = "QUORVEL_EXTRA_PORTS";

struct PortScan {
  // Port names in the order found (system ports first, then the extra ones).
  std::vector<std::string> names;
  // Every name that occurred more than once (byte for byte), as "<name>" one
  // after the other.
  std::string duplicates;
};

// Scans a sysfs tty class folder and the extra ports, which follow the
// system's in the order given. A legacy ttyS entry counts only when its UART
// type is known (not 0).
PortScan ScanPorts(const std::string& sysClassTty, const std::vector<std::string>& extraPorts);
// The same with the extra ports as a colon-separated list.
PortScan ScanPorts(const std::string& sysClassTty, std::string_view extraPorts);

// The paths of a colon-separated list, empty entries left out; a network
// port name (tcp://HOST:PORT, rfc2217://HOST:PORT) is one entry.
std::vector<std::string> SplitPortList(std::string_view list);

// The value of QUORVEL_EXTRA_PORTS, empty when unset.
std::string ExtraPortsFromEnvironment();

// The sort key of a port name: '0' characters inserted before its first
// digit (or appended when it has none) until it is `length` characters long,
// so that COM3 sorts before COM10.
std::string PaddedPortKey(std::string_view name, int length);

// The names ordered by their padded keys, ignoring letter case (an order for
// the eye only: names that differ in case stay in the order given).
std::vector<std::string> SortPortNames(std::vector<std::string> names);

// True when `list` (a "<a><b>" text) holds "<name>". A port is its exact
// path: names that differ in letter case only are two ports.
bool NameListHas(std::string_view list, std::string_view name);

}  // namespace quorvel
