// The serial link component as the programming engine sees it.
#pragma once

#include <memory>

#include "net/net_transport.h"
#include "run/device_types.h"
#include "run/run_host.h"
#include "serial/comm32kx.h"

namespace quorvel {

class Comm32KxRunLink final : public RunLink {
 public:
  // Gives the component the opener of network port names.
  explicit Comm32KxRunLink(TComm32Kx& comm);

  TLinkKind Kind() const override { return TLinkKind::Serial; }
  // RTS and DTR first, then the port closed, its transmit size enlarged
  // (which would reopen an open port) and the port opened with the line
  // settings; no status line for any of it.
  void Open(const LinkOpening& opening) override;
  void Close() override;
  // Why a network port's connection failed (refused, unknown host, lost...).
  std::string FailureDetail() const override { return netFailure_->Text(); }
  bool Send(const uint8_t* bytes, uint32_t count) override { return comm_.Send(bytes, count); }
  void ExpectAnswer(AnswerComplete complete) override { comm_.ExpectAnswer(std::move(complete)); }
  uint32_t FrameTimeOut() const override { return comm_.FrameTimeOut(); }
  void SetFrameTimeOut(uint32_t ms) override { comm_.SetFrameTimeOut(ms); }
  void HoldReceive() override { comm_.HoldReceive(); }
  void ReleaseReceive() override { comm_.ReleaseReceive(); }
  bool IsOpen() const override { return comm_.IsOpen(); }
  TLinkStatus Status() const override { return comm_.Status(); }
  void RefreshStatus() override { comm_.RefreshStatus(); }
  uint32_t TransmitSize() const override { return comm_.SizeBufTXD(); }
  void DiscardInput() override { comm_.DiscardInput(); }
  FrameGapChoice FrameGap() const override { return comm_.FrameGap(); }
  void SetFrameGap(FrameGapChoice gap) override { comm_.SetFrameGap(gap); }
  bool ShortFrameGap() const override { return comm_.ShortFrameGap(); }

 private:
  // Keeps the component's status event detached while it lives.
  class StatusSuspended;

  TComm32Kx& comm_;
  std::shared_ptr<NetFailureNote> netFailure_ = std::make_shared<NetFailureNote>();
};

}  // namespace quorvel
