#include "session/usb_run_link.h"

#include <algorithm>

namespace quorvel {

void FtdiUsbRunLink::SuspendStatusEvent() {
  if (suspended_++ == 0) {
    savedStatus_ = usb_.OnUSBStatus();
    usb_.SetOnUSBStatus(nullptr);
  }
}

void FtdiUsbRunLink::ResumeStatusEvent() {
  // The handler put back hears the current status at once.
  if (suspended_ > 0 && --suspended_ == 0) {
    usb_.SetOnUSBStatus(std::move(savedStatus_));
    savedStatus_ = nullptr;
  }
}

void FtdiUsbRunLink::SetTransmitSize(uint32_t bytes) {
  usb_.SetSizeBufTXD(static_cast<uint16_t>(std::min<uint32_t>(bytes, UINT16_MAX)));
}

void FtdiUsbRunLink::SetLineParams(const LineSettings& settings) {
  usb_.SetBaudRate(static_cast<TBaudRate>(settings.Baud));
  usb_.SetParity(static_cast<TParityBit>(settings.Parity));
  usb_.SetDataBits(static_cast<TDataBits>(settings.DataBits));
  usb_.SetStopBits(static_cast<TStopBits>(settings.StopBits));
}

}  // namespace quorvel
