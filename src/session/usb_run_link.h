// The USB link component as the programming engine sees it.
#pragma once

#include "run/device_types.h"
#include "run/run_host.h"
#include "usb/ftdi_usb.h"

namespace quorvel {

class FtdiUsbRunLink final : public RunLink {
 public:
  explicit FtdiUsbRunLink(TFtdiUSB& usb) : usb_(usb) {}

  TLinkKind Kind() const override { return TLinkKind::Usb; }
  // The device closed, the transmit size enlarged, the line settings set and
  // the device of the list index opened; no status line for any of it (the
  // closing is no failure of the run that is starting).
  void Open(const LinkOpening& opening) override;
  void Close() override;
  bool Send(const uint8_t* bytes, uint32_t count) override { return usb_.Send(bytes, count); }
  void ExpectAnswer(AnswerComplete complete) override { usb_.ExpectAnswer(std::move(complete)); }
  uint32_t FrameTimeOut() const override { return usb_.FrameTimeOut(); }
  void SetFrameTimeOut(uint32_t ms) override { usb_.SetFrameTimeOut(ms); }
  void HoldReceive() override { usb_.HoldReceive(); }
  void ReleaseReceive() override { usb_.ReleaseReceive(); }
  bool IsOpen() const override { return usb_.IsOpen(); }
  // A converter held by another program is tried a few times more before
  // the component gives up with "Access denied"; a run cannot wait for it
  // and hears the cause at once.
  TLinkStatus Status() const override {
    return usb_.Opening() ? TLinkStatus::AccessDenied : usb_.Status();
  }
  void RefreshStatus() override { usb_.RefreshStatus(); }
  std::string FailureDetail() const override;
  uint32_t TransmitSize() const override { return usb_.SizeBufTXD(); }
  void DiscardInput() override { usb_.DiscardInput(); }
  FrameGapChoice FrameGap() const override { return usb_.FrameGap(); }
  void SetFrameGap(FrameGapChoice gap) override { usb_.SetFrameGap(gap); }
  bool ShortFrameGap() const override { return usb_.ShortFrameGap(); }

 private:
  // Keeps the component's status event detached while it lives.
  class StatusSuspended;

  TFtdiUSB& usb_;
};

}  // namespace quorvel
