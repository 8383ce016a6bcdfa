// ByteTransport: the device beneath a link component, reduced to what the
// link's threads need: wait for bytes, read what arrived, write, drop queued
// bytes, the modem lines. One transport drives a serial port through termios,
// another an FTDI converter through the D2XX function table. The receive
// thread calls the waits and reads, the transmit thread WriteSome, and the
// main thread the rest (Interrupt before it joins the threads, Close after).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel {

class StopEvent;

// The modem input lines; false from ReadModemLines when the driver cannot
// report them.
struct ModemLines {
  bool CTS = false;
  bool DSR = false;
};

class ByteTransport {
 public:
  enum class Wait : uint8_t {
    Bytes,      // bytes wait to be read
    Quiet,      // the time passed without a new byte
    LineError,  // the driver saw a framing or parity error or a break
    Stopped,    // the stop event fired
    Gone,       // the device went away (unplugged, the far end closed)
  };

  virtual ~ByteTransport() = default;

  // Blocks until bytes wait, the stop event fires or the device fails.
  virtual Wait WaitForBytes(const StopEvent& stop) = 0;
  // Waits at most gapMs for more bytes: Bytes as soon as some wait, Quiet
  // when the time passed without one.
  virtual Wait WaitForMore(const StopEvent& stop, uint16_t gapMs) = 0;
  // Reads what waits, at most max bytes, without blocking: the count read,
  // 0 when nothing waits, -1 when the device is gone.
  virtual int64_t Read(uint8_t* buffer, size_t max) = 0;
  // True when the driver counted a line error since the last call (for
  // drivers that count them instead of reporting them through a wait).
  virtual bool TakeLineError() { return false; }
  // Writes some of the bytes, waiting until the driver takes at least one
  // or the stop event fires: the count written, or -1 (stop, write error).
  virtual int64_t WriteSome(const uint8_t* bytes, size_t size, const StopEvent& stop) = 0;
  // Drops what waits in the driver's receive / transmit queue.
  virtual void DiscardInput() = 0;
  virtual void DiscardOutput() = 0;
  virtual bool ReadModemLines(ModemLines* /*lines*/) { return false; }
  // Raises or lowers RTS / DTR; false when the driver has no such line.
  virtual bool SetRTS(bool /*on*/) { return false; }
  virtual bool SetDTR(bool /*on*/) { return false; }
  // Ends a WaitForBytes or a WriteSome blocked in the driver (the stop event
  // alone may not reach them). Called on the main thread after the stop
  // event was signalled, again until both threads have ended.
  virtual void Interrupt() {}
  // Lets the device go; the threads have ended.
  virtual void Close() = 0;
};

}  // namespace quorvel
