// The --json forms of quorvel-cli devices, ports and info: one JSON document
// on stdout, for scripts. The fields are those of the README's tables; a
// value that is not known is null, never left out. Texts that are not UTF-8
// (a port's name, a file's path) hold U+FFFD where their bytes were not;
// "port_bytes" keeps a port's name byte for byte.
#pragma once

#include <string>
#include <vector>

#include "datafile/data_file.h"
#include "run/device_types.h"

namespace quorvel {

// Every device type of the list but row 0 (which names none), in its order.
void PrintDevicesJson(const TDevAvailArray& list);

// The serial ports as the port list names them, each with what is known of
// the FTDI converter whose terminal it is.
void PrintSerialPortsJson(const std::vector<std::string>& ports);

// The USB converters of a device list ("location=description serial"
// entries), each with the description and serial number the driver reports
// for its location.
void PrintUsbConvertersJson(const std::vector<std::string>& entries);

// A data file that was read (file.Loaded()).
void PrintDataFileJson(const std::string& fileName, const DataFileContents& file);

}  // namespace quorvel
