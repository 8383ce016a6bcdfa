// The byte transport of an FTDI converter opened through the D2XX function
// table. It never knows which provider filled the table; a function the
// table lacks is treated as the call failing.
#pragma once

#include "link/byte_transport.h"
#include "usb/d2xx_api.h"

namespace quorvel {

class D2xxTransport final : public ByteTransport {
 public:
  // Takes over an open handle; closes it at Close.
  D2xxTransport(const d2xx::Functions& fn, d2xx::FT_HANDLE handle);
  ~D2xxTransport() override;
  D2xxTransport(const D2xxTransport&) = delete;
  D2xxTransport& operator=(const D2xxTransport&) = delete;

  Wait WaitForBytes(const StopEvent& stop) override;
  // Waits the whole frame gap, then looks whether more bytes came: the
  // driver tells of bytes waiting, not of the time the last one arrived.
  Wait WaitForMore(const StopEvent& stop, uint16_t gapMs) override;
  int64_t Read(uint8_t* buffer, size_t max) override;
  int64_t WriteSome(const uint8_t* bytes, size_t size, const StopEvent& stop) override;
  void DiscardInput() override;
  void DiscardOutput() override;
  // Re-arms the event mask, which ends a wait blocked in the driver, and
  // aborts a write the driver holds.
  void Interrupt() override;
  void Close() override;

 private:
  const d2xx::Functions& fn_;
  d2xx::FT_HANDLE handle_;

  // Bytes waiting in the driver's receive queue; false when it cannot say.
  bool BytesWaiting(d2xx::DWORD* count);
  // A line error or break: receive queue purged, error state cleared.
  void ClearLineError();
};

}  // namespace quorvel
