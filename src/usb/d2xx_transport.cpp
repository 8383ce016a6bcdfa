#include "usb/d2xx_transport.h"

#include <algorithm>
#include <limits>

#include "link/port_message_window.h"

namespace quorvel {

using namespace d2xx;

D2xxTransport::D2xxTransport(const Functions& fn, FT_HANDLE handle) : fn_(fn), handle_(handle) {}

D2xxTransport::~D2xxTransport() {
  Close();
}

bool D2xxTransport::BytesWaiting(DWORD* count) {
  *count = 0;
  if (handle_ == nullptr || fn_.FT_W32_ClearCommError == nullptr) return false;
  DWORD errors = 0;
  FTCOMSTAT status{};
  if (fn_.FT_W32_ClearCommError(handle_, &errors, &status) == 0) return false;
  *count = status.cbInQue;
  return true;
}

void D2xxTransport::ClearLineError() {
  DiscardInput();
  if (fn_.FT_W32_GetLastError != nullptr) (void)fn_.FT_W32_GetLastError(handle_);
  if (fn_.FT_W32_ClearCommBreak != nullptr) (void)fn_.FT_W32_ClearCommBreak(handle_);
  DWORD errors = 0;
  FTCOMSTAT status{};
  if (fn_.FT_W32_ClearCommError != nullptr) {
    (void)fn_.FT_W32_ClearCommError(handle_, &errors, &status);
  }
}

ByteTransport::Wait D2xxTransport::WaitForBytes(const StopEvent& stop) {
  if (fn_.FT_W32_WaitCommEvent == nullptr) {
    // Without the driver's wait nothing tells of arriving bytes: the device
    // cannot be used.
    return Wait::Gone;
  }
  for (;;) {
    if (stop.IsSignalled()) return Wait::Stopped;
    DWORD waiting = 0;
    if (!BytesWaiting(&waiting)) return Wait::Gone;
    if (waiting > 0) return Wait::Bytes;
    ULONG event = 0;
    if (fn_.FT_W32_WaitCommEvent(handle_, &event, nullptr) == 0) {
      return stop.IsSignalled() ? Wait::Stopped : Wait::Gone;
    }
    if (stop.IsSignalled()) return Wait::Stopped;
    if ((event & (EV_ERR | EV_BREAK)) != 0) {
      ClearLineError();
      return Wait::LineError;
    }
    // Bytes arrived, or the mask was set again (Interrupt): look again.
  }
}

ByteTransport::Wait D2xxTransport::WaitForMore(const StopEvent& stop, uint16_t gapMs) {
  if (stop.WaitFor(gapMs)) return Wait::Stopped;
  DWORD waiting = 0;
  if (!BytesWaiting(&waiting)) return Wait::Gone;
  return waiting > 0 ? Wait::Bytes : Wait::Quiet;
}

int64_t D2xxTransport::Read(uint8_t* buffer, size_t max) {
  DWORD waiting = 0;
  if (!BytesWaiting(&waiting)) return -1;
  const auto count =
      static_cast<DWORD>(std::min<size_t>({max, waiting, std::numeric_limits<DWORD>::max()}));
  if (count == 0) return 0;
  if (fn_.FT_W32_ReadFile == nullptr) return -1;
  DWORD done = 0;
  if (fn_.FT_W32_ReadFile(handle_, buffer, count, &done, nullptr) == 0) return -1;
  return std::min<DWORD>(done, count);
}

int64_t D2xxTransport::WriteSome(const uint8_t* bytes, size_t size, const StopEvent& stop) {
  if (stop.IsSignalled() || handle_ == nullptr || fn_.FT_W32_WriteFile == nullptr) return -1;
  const auto count = static_cast<DWORD>(std::min<size_t>(size, std::numeric_limits<DWORD>::max()));
  DWORD done = 0;
  // The link sets no write time-out: the driver returns when it took all.
  if (fn_.FT_W32_WriteFile(handle_, const_cast<uint8_t*>(bytes), count, &done, nullptr) == 0) {
    return -1;
  }
  if (done == 0) return -1;  // nothing taken: the frame ends here
  return std::min<DWORD>(done, count);
}

void D2xxTransport::DiscardInput() {
  if (handle_ != nullptr && fn_.FT_W32_PurgeComm != nullptr) {
    (void)fn_.FT_W32_PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR);
  }
}

void D2xxTransport::DiscardOutput() {
  if (handle_ != nullptr && fn_.FT_W32_PurgeComm != nullptr) {
    (void)fn_.FT_W32_PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR);
  }
}

void D2xxTransport::Interrupt() {
  if (handle_ == nullptr) return;
  if (fn_.FT_W32_SetCommMask != nullptr) (void)fn_.FT_W32_SetCommMask(handle_, kLinkEventMask);
  // A write the driver still holds ends too: the device is being let go.
  DiscardOutput();
}

void D2xxTransport::Close() {
  if (handle_ == nullptr) return;
  if (fn_.FT_W32_SetCommMask != nullptr) (void)fn_.FT_W32_SetCommMask(handle_, 0);
  DiscardInput();
  if (fn_.FT_W32_CloseHandle != nullptr) (void)fn_.FT_W32_CloseHandle(handle_);
  handle_ = nullptr;
}

}  // namespace quorvel
