#include "session/serial_run_link.h"

#include <algorithm>

#include "net/network_port_opener.h"

namespace quorvel {

class Comm32KxRunLink::StatusSuspended {
 public:
  explicit StatusSuspended(TComm32Kx& comm) : comm_(comm), saved_(std::move(comm.OnCOMStatus)) {
    comm_.OnCOMStatus = nullptr;
  }
  ~StatusSuspended() { comm_.OnCOMStatus = std::move(saved_); }
  StatusSuspended(const StatusSuspended&) = delete;
  StatusSuspended& operator=(const StatusSuspended&) = delete;

 private:
  TComm32Kx& comm_;
  TComm32Kx::TStatus saved_;
};

Comm32KxRunLink::Comm32KxRunLink(TComm32Kx& comm) : comm_(comm) {
  comm_.SetPortOpener(NetworkPortOpener(netFailure_));
}

void Comm32KxRunLink::Open(const LinkOpening& opening) {
  if (opening.Lines) {
    comm_.SetRTSState(opening.Lines->Rts);
    comm_.SetDTRState(opening.Lines->Dtr);
  }
  StatusSuspended suspended(comm_);
  netFailure_->Clear();
  comm_.SetCOMPort("");
  if (comm_.SizeBufTXD() < opening.TransmitSize) {
    comm_.SetSizeBufTXD(
        static_cast<uint16_t>(std::min<uint32_t>(opening.TransmitSize, UINT16_MAX)));
  }
  const LineSettings& line = opening.Line;
  comm_.SetParams(opening.PortName, static_cast<TBaudRate>(line.Baud),
                  static_cast<TParityBit>(line.Parity), static_cast<TDataBits>(line.DataBits),
                  static_cast<TStopBits>(line.StopBits));
}

void Comm32KxRunLink::Close() {
  StatusSuspended suspended(comm_);
  comm_.SetPortNumber(0);
}

}  // namespace quorvel
