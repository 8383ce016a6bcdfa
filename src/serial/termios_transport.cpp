#include "serial/termios_transport.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "link/port_message_window.h"

namespace quorvel {

TermiosTransport::TermiosTransport(int fd, const PortDriverChanges& changes)
    : fd_(fd), changes_(changes) {
  countsErrors_ = ReadLineErrorCount(fd_, &errorCount_);
}

TermiosTransport::~TermiosTransport() {
  Close();
}

ByteTransport::Wait TermiosTransport::WaitReadable(const StopEvent& stop, int timeoutMs) {
  for (;;) {
    pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {fd_, POLLIN, 0}};
    const int ready = poll(fds, 2, timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Wait::Gone;
    }
    if (fds[0].revents != 0 || stop.IsSignalled()) return Wait::Stopped;
    if (ready == 0) return Wait::Quiet;
    if ((fds[1].revents & POLLIN) != 0) return Wait::Bytes;
    // Hung up, or an error without anything left to read: the device went
    // away (an adapter unplugged, the far end of a virtual port closed).
    if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return Wait::Gone;
  }
}

ByteTransport::Wait TermiosTransport::WaitForBytes(const StopEvent& stop) {
  return WaitReadable(stop, -1);
}

ByteTransport::Wait TermiosTransport::WaitForMore(const StopEvent& stop, uint16_t gapMs) {
  return WaitReadable(stop, gapMs);
}

int64_t TermiosTransport::Read(uint8_t* buffer, size_t max) {
  for (;;) {
    const ssize_t got = read(fd_, buffer, max);
    if (got > 0) return got;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return -1;  // end of file on a terminal: hung up
  }
}

bool TermiosTransport::TakeLineError() {
  if (!countsErrors_) return false;
  uint64_t count = 0;
  if (!ReadLineErrorCount(fd_, &count)) return false;
  const bool seen = count != errorCount_;
  errorCount_ = count;
  return seen;
}

int64_t TermiosTransport::WriteSome(const uint8_t* bytes, size_t size, const StopEvent& stop) {
  for (;;) {
    if (stop.IsSignalled()) return -1;
    const ssize_t written = write(fd_, bytes, size);
    if (written > 0) return written;
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The driver's queue is full (or flow control holds the line): wait
      // until it takes more, or for the stop.
      pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {fd_, POLLOUT, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return -1;
      if (fds[0].revents != 0) return -1;
      if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 &&
          (fds[1].revents & POLLOUT) == 0) {
        return -1;
      }
      continue;
    }
    return -1;
  }
}

void TermiosTransport::DiscardInput() {
  if (fd_ >= 0) quorvel::DiscardInput(fd_);
}

void TermiosTransport::DiscardOutput() {
  if (fd_ >= 0) quorvel::DiscardOutput(fd_);
}

bool TermiosTransport::ReadModemLines(ModemLines* lines) {
  return fd_ >= 0 && quorvel::ReadModemLines(fd_, lines);
}

bool TermiosTransport::SetRTS(bool on) {
  return fd_ >= 0 && quorvel::SetRTS(fd_, on);
}

bool TermiosTransport::SetDTR(bool on) {
  return fd_ >= 0 && quorvel::SetDTR(fd_, on);
}

void TermiosTransport::Close() {
  if (fd_ < 0) return;
  ClosePortDevice(fd_, changes_);
  fd_ = -1;
}

}  // namespace quorvel
