// The USB converters quorvel-cli offers for a device type: the USB link
// component's device list, waited for on the event loop.
#pragma once

#include <string>
#include <vector>

namespace quorvel {

class TFtdiUSB;

// How long a device list may take to build before the command goes on
// with what is there.
constexpr int kDeviceListWaitMs = 10000;

// Lets the event loop run until every component has built its first
// device list (or kDeviceListWaitMs passed).
void WaitForDeviceLists(const std::vector<TFtdiUSB*>& components);

// The converters a row with these expected names accepts (every FTDI
// converter in service mode), as "location=description serial" entries,
// without the "none" entry.
std::vector<std::string> ListUsbDevices(const std::string& expectedNames, bool serviceMode);

// The entry of a port argument: a display text, a location ID or a whole
// entry; empty when the list has none.
std::string FindUsbEntry(const std::vector<std::string>& entries, const std::string& port);

}  // namespace quorvel
