// The serial link component as the programming engine sees it.
#pragma once

#include "run/run_host.h"
#include "serial/comm32kx.h"
#include "session/link_frame_gap.h"

namespace quorvel {

class Comm32KxRunLink final : public SerialRunLink {
 public:
  explicit Comm32KxRunLink(TComm32Kx& comm) : comm_(comm) {}

  bool Send(const uint8_t* bytes, uint32_t count) override { return comm_.Send(bytes, count); }
  uint32_t FrameTimeOut() const override { return comm_.FrameTimeOut(); }
  void SetFrameTimeOut(uint32_t ms) override { comm_.SetFrameTimeOut(ms); }
  void HoldReceive() override { comm_.HoldReceive(); }
  void ReleaseReceive() override { comm_.ReleaseReceive(); }
  bool IsOpen() const override { return comm_.IsOpen(); }
  int Status() const override { return comm_.Status(); }
  void RefreshStatus() override { comm_.RefreshStatus(); }
  uint32_t TransmitSize() const override { return comm_.SizeBufTXD(); }
  void SetTransmitSize(uint32_t bytes) override;
  void DiscardInput() override { comm_.DiscardInput(); }
  FrameGapChoice FrameGap() const override { return LinkFrameGap(comm_); }
  void SetFrameGap(FrameGapChoice gap) override { SetLinkFrameGap(comm_, gap); }
  bool ShortFrameGap() const override { return LinkHasShortFrameGap(comm_); }
  void SuspendStatusEvent() override;
  void ResumeStatusEvent() override;

  void SetRTSState(bool on) override { comm_.SetRTSState(on); }
  void SetDTRState(bool on) override { comm_.SetDTRState(on); }
  void SetCOMPort(const std::string& name) override { comm_.SetCOMPort(name); }
  void SetPortNumber(int number) override { comm_.SetPortNumber(static_cast<uint16_t>(number)); }
  void SetParams(const std::string& portName, const LineSettings& settings) override;

 private:
  TComm32Kx& comm_;
  TComm32Kx::TStatus savedStatus_;
  int suspended_ = 0;
};

}  // namespace quorvel
