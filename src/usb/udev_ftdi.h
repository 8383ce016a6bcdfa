// The FTDI USB-to-serial converters that the kernel's ftdi_sio driver has
// made into terminals (/dev/ttyUSB*), found through libudev: each with what
// a D2XX device list tells of it (description, serial number, chip type, a
// location ID) and whether some process holds the terminal. Plain C++, no
// Qt; without libudev the list is empty.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

struct FtdiTtyDevice {
  std::string Description;   // the USB product string
  std::string SerialNumber;  // the USB serial number string
  uint32_t Type = 3;         // D2XX chip type code 0..9 (3: unknown)
  uint32_t Id = 0;           // vendor ID << 16 | product ID
  uint32_t LocId = 0;        // never 0; see FtdiLocationId
  std::string DevNode;       // /dev/ttyUSB0
  std::string PortSysPath;   // the usb-serial port device (holds latency_timer)
  bool Opened = false;       // some process holds the terminal's lock (from
                             // the kernel's lock table; the terminal is
                             // not opened to find out)
};

// Every FTDI terminal, ordered by device node (ttyUSB2 before ttyUSB10).
std::vector<FtdiTtyDevice> EnumerateFtdiTtys();

// The D2XX chip type of a converter from its USB bcdDevice. A BM chip
// without an EEPROM reports 0x0200 like the older AM chip, but has no serial
// number string.
uint32_t FtdiChipType(uint16_t bcdDevice, bool hasSerialNumber);

// A location ID that stays the same while the converter stays in the same
// socket: the bus number in the top byte, the port numbers along the hub
// chain ("1.4") one per nibble below it (up to 5 levels of ports 1..15),
// the interface number in the low nibble (a multi-port chip has one
// terminal per interface). A chain that does not fit is folded into a hash
// with the top bit set. Never 0; 0 when the bus number is 0 or the path
// holds no port.
uint32_t FtdiLocationId(unsigned busNumber, std::string_view portPath, unsigned interfaceNumber);

// True when a line of /proc/locks (as given in `locks`) is a lock on the
// file with that device and inode: major and minor of the file system's
// device, the inode number.
bool ProcLocksHold(std::string_view locks, unsigned devMajor, unsigned devMinor, uint64_t inode);

// The latency timer of an ftdi_sio port in ms (its sysfs attribute
// `latency_timer`), -1 when it cannot be read.
int ReadLatencyTimer(const std::string& portSysPath);
// Writes the latency timer through libudev; true when the attribute reads
// back the value written.
bool WriteLatencyTimer(const std::string& portSysPath, int ms);

}  // namespace quorvel
