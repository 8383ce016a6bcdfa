// The byte transport of a serial port: a terminal device file opened and
// configured by serial_port_io, waited on with poll beside the stop event.
#pragma once

#include "link/byte_transport.h"
#include "serial/serial_port_io.h"

namespace quorvel {

class TermiosTransport final : public ByteTransport {
 public:
  // Takes over an open, configured descriptor and what configuring changed
  // on the driver (put back at Close).
  TermiosTransport(int fd, const PortDriverChanges& changes);
  ~TermiosTransport() override;
  TermiosTransport(const TermiosTransport&) = delete;
  TermiosTransport& operator=(const TermiosTransport&) = delete;

  Wait WaitForBytes(const StopEvent& stop) override;
  Wait WaitForMore(const StopEvent& stop, uint16_t gapMs) override;
  int64_t Read(uint8_t* buffer, size_t max) override;
  bool TakeLineError() override;
  int64_t WriteSome(const uint8_t* bytes, size_t size, const StopEvent& stop) override;
  void DiscardInput() override;
  void DiscardOutput() override;
  bool ReadModemLines(ModemLines* lines) override;
  bool SetRTS(bool on) override;
  bool SetDTR(bool on) override;
  void Close() override;

 private:
  int fd_;
  PortDriverChanges changes_;
  // Line-error counters as last read; drivers without them (a
  // pseudo-terminal) report none.
  bool countsErrors_ = false;
  uint64_t errorCount_ = 0;

  Wait WaitReadable(const StopEvent& stop, int timeoutMs);
};

}  // namespace quorvel
