#include "serial/serial_port_io.h"

// termios2 (custom rates through BOTHER) comes from the kernel headers, whose
// struct termios clashes with the C library's <termios.h>: this file uses the
// kernel's definitions only.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>

namespace quorvel {
namespace {

// Kernel speed codes of the baud ordinals; 0 where the kernel has none and
// the rate goes through BOTHER.
constexpr std::array<unsigned, kBaudRateCount> kSpeedCodes{
    B300,   B600,    B1200,   B2400,   B4800,   B9600, 0 /* 14400 */, B19200, B38400,
    B57600, B115200, B230400, B460800, B921600, 0 /* 125000 */};

// CS5 is 0: the 4-bit entry is never used (the line has no 4-bit characters).
constexpr std::array<unsigned, kDataBitsCount> kSizeCodes{CS5, CS5, CS6, CS7, CS8};

static_assert(sizeof(serial_rs485) == sizeof(PortDriverChanges::rs485Before),
              "room for the driver's RS-485 setting");

PortOpenError ErrorOfErrno(int error) {
  switch (error) {
    case ENOENT:
      return PortOpenError::NotFound;
    case EACCES:
    case EPERM:
      return PortOpenError::AccessDenied;
    case EBUSY:
    case EWOULDBLOCK:
      return PortOpenError::Busy;
    default:
      return PortOpenError::Other;
  }
}

// A rate the driver really set differs from the request by at most this many
// per mille (the tolerance of an asynchronous line).
constexpr uint64_t kRateToleranceMille = 30;

bool RateMatches(uint32_t wanted, uint32_t actual) {
  const uint64_t diff = wanted > actual ? wanted - actual : actual - wanted;
  return diff * 1000 <= static_cast<uint64_t>(wanted) * kRateToleranceMille;
}

bool SetModemBit(int fd, int bit, bool on) {
  return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0;
}

}  // namespace

std::string PortDevicePath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  return "/dev/" + name;
}

PortOpenResult OpenPortDevice(const std::string& path) {
  int fd = -1;
  int error = 0;
  do {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    error = errno;
  } while (fd < 0 && error == EINTR);
  if (fd < 0) return {-1, ErrorOfErrno(error)};
  // Not a port: nothing to lock, whoever else holds the file.
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) {
    close(fd);
    return {-1, PortOpenError::NotTerminal};
  }
  // Another process that opened the port through this program (or any other
  // careful program) holds the lock.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = errno;
    close(fd);
    return {-1, error == EWOULDBLOCK ? PortOpenError::Busy : ErrorOfErrno(error)};
  }
  return {fd, PortOpenError::None};
}

bool FillTermios(const LineSettings& line, const PortControlFlags& flags, struct termios2* tio) {
  if (line.Baud >= kBaudRateCount || line.Parity >= kParityCount ||
      line.DataBits >= kDataBitsCount || line.StopBits >= kStopBitsCount) {
    return false;
  }
  if (line.DataBits == dbFour) return false;
  const unsigned sizeCode = kSizeCodes[line.DataBits];
  // 1.5 stop bits exist only with 5 data bits (CSTOPB then means 1.5).
  if (line.StopBits == sbOnePointFive && line.DataBits != dbFive) return false;

  tio->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                    IXANY | IMAXBEL | INPCK | IGNPAR);
  tio->c_oflag &= ~OPOST;
  tio->c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio->c_cflag |= sizeCode | CREAD | CLOCAL;
  tio->c_cc[VMIN] = 1;
  tio->c_cc[VTIME] = 0;

  switch (line.Parity) {
    case pbOdd:
      tio->c_cflag |= PARENB | PARODD;
      break;
    case pbEven:
      tio->c_cflag |= PARENB;
      break;
    case pbMark:
      tio->c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case pbSpace:
      tio->c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  // Characters with a parity error arrive as 0 and count as line errors.
  if (line.Parity != pbNone) tio->c_iflag |= INPCK;
  if (line.StopBits != sbOne) tio->c_cflag |= CSTOPB;

  // RTS handshake and CTS output flow are one setting here.
  if (flags.FlowRTS_CTS || flags.RTSCtrlHandshake) tio->c_cflag |= CRTSCTS;

  const uint32_t rate = BaudRateValue(line.Baud);
  tio->c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  tio->c_cflag |= kSpeedCodes[line.Baud] != 0 ? kSpeedCodes[line.Baud] : BOTHER;
  tio->c_ispeed = rate;
  tio->c_ospeed = rate;
  return true;
}

bool IsPseudoTerminal(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  // Unix98 pseudo-terminal slaves: majors 136 to 143.
  return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

bool ConfigurePort(int fd, const LineSettings& line, const PortControlFlags& flags,
                   PortDriverChanges* changes) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  if (!FillTermios(line, flags, &tio)) return false;
  const uint32_t rate = BaudRateValue(line.Baud);
  const unsigned sizeCode = kSizeCodes[line.DataBits];
  if (ioctl(fd, TCSETS2, &tio) != 0) return false;

  // The driver writes back what it really set; a rate it cannot make comes
  // back as the nearest one it can.
  struct termios2 actual {};
  if (ioctl(fd, TCGETS2, &actual) != 0) return false;
  if (!RateMatches(rate, actual.c_ospeed)) return false;
  // A driver that cannot make the data size writes back another one.
  if ((actual.c_cflag & CSIZE) != sizeCode && !IsPseudoTerminal(fd)) return false;

  // RTS raised while sending (RS-485 direction control) where the driver has
  // an RS-485 mode; other drivers ignore the flag. The driver keeps the mode
  // after the close, so the setting found is kept to be put back then.
  struct serial_rs485 before {};
  if (flags.RTSCtrlToggle && ioctl(fd, TIOCGRS485, &before) == 0) {
    struct serial_rs485 rs485 {};
    rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (ioctl(fd, TIOCSRS485, &rs485) == 0) {
      changes->rs485Changed = true;
      std::memcpy(changes->rs485Before.data(), &before, sizeof before);
    }
  }
  if (flags.DTRCtrlEnable || flags.DTRCtrlHandshake || flags.FlowDTR_DSR) (void)SetDTR(fd, true);
  if (flags.RTSCtrlEnable) (void)SetRTS(fd, true);
  return true;
}

bool SetRTS(int fd, bool on) {
  return SetModemBit(fd, TIOCM_RTS, on);
}
bool SetDTR(int fd, bool on) {
  return SetModemBit(fd, TIOCM_DTR, on);
}

bool ReadModemLines(int fd, ModemLines* lines) {
  int bits = 0;
  if (ioctl(fd, TIOCMGET, &bits) != 0) return false;
  lines->CTS = (bits & TIOCM_CTS) != 0;
  lines->DSR = (bits & TIOCM_DSR) != 0;
  return true;
}

bool ReadLineErrorCount(int fd, uint64_t* count) {
  struct serial_icounter_struct counters {};
  if (ioctl(fd, TIOCGICOUNT, &counters) != 0) return false;
  *count = static_cast<uint64_t>(counters.frame) + static_cast<uint64_t>(counters.overrun) +
           static_cast<uint64_t>(counters.parity) + static_cast<uint64_t>(counters.brk) +
           static_cast<uint64_t>(counters.buf_overrun);
  return true;
}

void DiscardInput(int fd) {
  (void)ioctl(fd, TCFLSH, TCIFLUSH);
}
void DiscardOutput(int fd) {
  (void)ioctl(fd, TCFLSH, TCOFLUSH);
}

void ClosePortDevice(int fd, const PortDriverChanges& changes) {
  if (fd < 0) return;
  if (changes.rs485Changed) {
    struct serial_rs485 before {};
    std::memcpy(&before, changes.rs485Before.data(), sizeof before);
    (void)ioctl(fd, TIOCSRS485, &before);
  }
  // This program never sets the exclusive flag, but another tool may have;
  // it stays on the terminal while anyone else keeps it open, and the next
  // open by an ordinary user would be refused.
  (void)ioctl(fd, TIOCNXCL);
  (void)ioctl(fd, TCFLSH, TCIOFLUSH);
  close(fd);
}

}  // namespace quorvel
