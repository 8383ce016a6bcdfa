// The serial port device itself: opening a device file exclusively, putting
// it into raw mode with the link's line settings and control flags, the modem
// lines and the line-error counters. Plain POSIX, no Qt; the component and its
// threads use it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "link/byte_transport.h"
#include "run/line_settings.h"

struct termios2;

namespace quorvel {

// How opening a port failed.
enum class PortOpenError : uint8_t {
  None,
  NotFound,      // the device file does not exist
  AccessDenied,  // no permission (not in the dialout group)
  Busy,          // another process holds the port's lock (or set TIOCEXCL)
  NotTerminal,   // the file is no terminal (a regular file, a FIFO, /dev/null)
  Other,         // any other failure
};

struct PortOpenResult {
  int fd = -1;
  PortOpenError error = PortOpenError::Other;
};

// The control flags of the component, as the owner set them.
struct PortControlFlags {
  bool DTRCtrlEnable = false;
  bool DTRCtrlHandshake = false;
  bool RTSCtrlEnable = false;
  bool RTSCtrlHandshake = false;
  bool RTSCtrlToggle = false;
  bool FlowDTR_DSR = false;
  bool FlowRTS_CTS = false;
};

// The device file of a port name: a name that holds a '/' is a path and is
// used as it is; any other name is a device under /dev.
std::string PortDevicePath(const std::string& name);

// Opens the device for reading and writing, non-blocking (so that neither a
// FIFO nor a modem line can hold it up), without becoming its controlling
// terminal, and takes it exclusively through an flock(LOCK_EX | LOCK_NB) lock.
// The lock is the only mark of ownership: the kernel drops it with the last
// descriptor, even when the holder is killed. A terminal flag such as
// TIOCEXCL would outlive a killed holder on a terminal that someone else
// keeps open and lock every ordinary user out ("Busy") from then on.
// A file that is no terminal is refused before it is locked. One attempt,
// never a wait: where trying again makes sense the component does it on a
// timer.
PortOpenResult OpenPortDevice(const std::string& path);

// Puts raw mode, the line settings and the flow setting into a terminal
// setting read from the driver. False for what the line cannot do (4 data
// bits, 1.5 stop bits with more than 5 data bits, an ordinal past its table).
bool FillTermios(const LineSettings& line, const PortControlFlags& flags, struct termios2* tio);

// True when the device is a pseudo-terminal, which has no line framing: its
// driver always reports 8 data bits without parity.
bool IsPseudoTerminal(int fd);

// What ConfigurePort changed on the driver beyond the terminal settings
// (which every program that opens the port sets for itself), to be put back
// when the port is closed.
struct PortDriverChanges {
  bool rs485Changed = false;
  // The driver's RS-485 setting (struct serial_rs485) found before.
  std::array<uint32_t, 8> rs485Before{};
};

// Raw mode with the line settings and control flags. False when the driver
// refuses a setting (4 data bits, 1.5 stop bits with more than 5 data bits, a
// rate the driver cannot make, an ordinal past its table, not a terminal).
bool ConfigurePort(int fd, const LineSettings& line, const PortControlFlags& flags,
                   PortDriverChanges* changes);

// Raises or lowers RTS / DTR. Drivers without modem lines (a pseudo-terminal)
// refuse; that is not an error of the link, so the result may be ignored.
bool SetRTS(int fd, bool on);
bool SetDTR(int fd, bool on);

// The modem input lines; false when the driver cannot report them.
bool ReadModemLines(int fd, ModemLines* lines);

// Sum of the line-error counters (framing, parity, overrun, break, buffer
// overrun); false when the driver keeps no counters (a pseudo-terminal).
bool ReadLineErrorCount(int fd, uint64_t* count);

// Discards what waits in the driver's receive / transmit queue.
void DiscardInput(int fd);
void DiscardOutput(int fd);

// Puts back what ConfigurePort changed on the driver, clears the exclusive
// flag of the terminal (some other tool may have set it), discards both
// queues (so that closing never waits for output stuck behind flow control)
// and closes the descriptor, which lets the lock go.
void ClosePortDevice(int fd, const PortDriverChanges& changes);

}  // namespace quorvel
