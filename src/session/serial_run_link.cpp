#include "session/serial_run_link.h"

#include <algorithm>

namespace quorvel {

void Comm32KxRunLink::SuspendStatusEvent() {
  if (suspended_++ == 0) {
    savedStatus_ = comm_.OnCOMStatus;
    comm_.OnCOMStatus = nullptr;
  }
}

void Comm32KxRunLink::ResumeStatusEvent() {
  if (suspended_ > 0 && --suspended_ == 0) {
    comm_.OnCOMStatus = std::move(savedStatus_);
    savedStatus_ = nullptr;
  }
}

void Comm32KxRunLink::SetTransmitSize(uint32_t bytes) {
  comm_.SetSizeBufTXD(static_cast<uint16_t>(std::min<uint32_t>(bytes, UINT16_MAX)));
}

FrameGapChoice Comm32KxRunLink::FrameGap() const {
  return comm_.AutoTimeOut() ? FrameGapChoice::Auto() : FrameGapChoice::Fixed(comm_.TimeOut());
}

void Comm32KxRunLink::SetFrameGap(FrameGapChoice gap) {
  if (gap.automatic) {
    comm_.SetAutoTimeOut(true);
  } else {
    comm_.SetTimeOut(gap.ms);
  }
}

bool Comm32KxRunLink::ShortFrameGap() const {
  return comm_.AutoTimeOut() && comm_.TimeOut() < kStandardQuietPeriodMs;
}

void Comm32KxRunLink::SetParams(const std::string& portName, const LineSettings& settings) {
  comm_.SetParams(
      portName, static_cast<TBaudRate>(settings.Baud), static_cast<TParityBit>(settings.Parity),
      static_cast<TDataBits>(settings.DataBits), static_cast<TStopBits>(settings.StopBits));
}

}  // namespace quorvel
