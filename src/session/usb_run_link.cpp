#include "session/usb_run_link.h"

#include <algorithm>

namespace quorvel {

class FtdiUsbRunLink::StatusSuspended {
 public:
  explicit StatusSuspended(TFtdiUSB& usb) : usb_(usb), saved_(usb.OnUSBStatus()) {
    usb_.SetOnUSBStatus(nullptr);
  }
  // The handler put back hears the current status at once.
  ~StatusSuspended() { usb_.SetOnUSBStatus(std::move(saved_)); }
  StatusSuspended(const StatusSuspended&) = delete;
  StatusSuspended& operator=(const StatusSuspended&) = delete;

 private:
  TFtdiUSB& usb_;
  TFtdiUSB::TStatus saved_;
};

void FtdiUsbRunLink::Open(const LinkOpening& opening) {
  StatusSuspended suspended(usb_);
  usb_.SetDeviceIndex(0);
  if (usb_.SizeBufTXD() < opening.TransmitSize) {
    usb_.SetSizeBufTXD(static_cast<uint16_t>(std::min<uint32_t>(opening.TransmitSize, UINT16_MAX)));
  }
  const LineSettings& line = opening.Line;
  usb_.SetBaudRate(static_cast<TBaudRate>(line.Baud));
  usb_.SetParity(static_cast<TParityBit>(line.Parity));
  usb_.SetDataBits(static_cast<TDataBits>(line.DataBits));
  usb_.SetStopBits(static_cast<TStopBits>(line.StopBits));
  usb_.SetDeviceIndex(opening.PortIndex);
}

void FtdiUsbRunLink::Close() {
  StatusSuspended suspended(usb_);
  usb_.SetDeviceIndex(0);
}

}  // namespace quorvel
