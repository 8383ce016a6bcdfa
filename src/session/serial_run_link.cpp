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

void Comm32KxRunLink::SetParams(const std::string& portName, const LineSettings& settings) {
  comm_.SetParams(
      portName, static_cast<TBaudRate>(settings.Baud), static_cast<TParityBit>(settings.Parity),
      static_cast<TDataBits>(settings.DataBits), static_cast<TStopBits>(settings.StopBits));
}

}  // namespace quorvel
