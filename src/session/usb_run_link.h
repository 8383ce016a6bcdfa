// The USB link component as the programming engine sees it.
#pragma once

#include "run/run_host.h"
#include "session/link_frame_gap.h"
#include "usb/ftdi_usb.h"

namespace quorvel {

class FtdiUsbRunLink final : public UsbRunLink {
 public:
  explicit FtdiUsbRunLink(TFtdiUSB& usb) : usb_(usb) {}

  bool Send(const uint8_t* bytes, uint32_t count) override { return usb_.Send(bytes, count); }
  uint32_t FrameTimeOut() const override { return usb_.FrameTimeOut(); }
  void SetFrameTimeOut(uint32_t ms) override { usb_.SetFrameTimeOut(ms); }
  void HoldReceive() override { usb_.HoldReceive(); }
  void ReleaseReceive() override { usb_.ReleaseReceive(); }
  bool IsOpen() const override { return usb_.IsOpen(); }
  // A converter held by another program is tried a few times more before
  // the component gives up with "Access denied"; a run cannot wait for it
  // and hears the cause at once.
  int Status() const override { return usb_.Opening() ? kStatusAccessDenied : usb_.Status(); }
  void RefreshStatus() override { usb_.RefreshStatus(); }
  uint32_t TransmitSize() const override { return usb_.SizeBufTXD(); }
  void SetTransmitSize(uint32_t bytes) override;
  void DiscardInput() override { usb_.DiscardInput(); }
  FrameGapChoice FrameGap() const override { return LinkFrameGap(usb_); }
  void SetFrameGap(FrameGapChoice gap) override { SetLinkFrameGap(usb_, gap); }
  bool ShortFrameGap() const override { return LinkHasShortFrameGap(usb_); }
  void SuspendStatusEvent() override;
  void ResumeStatusEvent() override;

  void SetDeviceIndex(int index) override { usb_.SetDeviceIndex(index); }
  void SetLineParams(const LineSettings& settings) override;

 private:
  TFtdiUSB& usb_;
  TFtdiUSB::TStatus savedStatus_;
  int suspended_ = 0;
};

}  // namespace quorvel
