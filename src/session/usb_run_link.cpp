#include "session/usb_run_link.h"

#include <algorithm>

#include "app/globals.h"
#include "app/text_utils.h"

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

std::string FtdiUsbRunLink::FailureDetail() const {
  static constexpr TextPair kHeldElsewhere{"konwerter jest zajęty przez inny program",
                                           "the converter is held by another program"};
  static constexpr TextPair kNoPermission{
      "brak uprawnień do terminala konwertera (członkostwo w grupie dialout?)",
      "no permission on the converter's terminal (membership of the dialout group?)"};
  static constexpr TextPair kGone{"konwertera już nie ma", "the converter is gone"};
  static constexpr TextPair kNotATerminal{"urządzenie konwertera nie jest terminalem",
                                          "the converter's device is no terminal"};
  static constexpr TextPair kOther{"konwerter odmówił otwarcia", "the converter refused to open"};
  if (IsOpen() || Status() != TLinkStatus::AccessDenied) return {};
  switch (usb_.LastOpenFailure()) {
    case TFtdiUSB::OpenFailure::None:
      return {};
    case TFtdiUSB::OpenFailure::HeldElsewhere:
      return kHeldElsewhere.str();
    case TFtdiUSB::OpenFailure::NoPermission:
      return kNoPermission.str();
    case TFtdiUSB::OpenFailure::Gone:
      return kGone.str();
    case TFtdiUSB::OpenFailure::NotATerminal:
      return kNotATerminal.str();
    case TFtdiUSB::OpenFailure::Other:
      return kOther.str();
  }
  return {};
}

void FtdiUsbRunLink::Close() {
  StatusSuspended suspended(usb_);
  usb_.SetDeviceIndex(0);
}

}  // namespace quorvel
