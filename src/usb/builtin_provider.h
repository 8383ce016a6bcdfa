// The built-in D2XX provider: the D2XX functions the USB link calls, made
// from the kernel's ftdi_sio terminals (found through udev_ftdi.h) and the
// serial port machinery (exclusive open, termios settings). It serves where
// the vendor's library is not installed. Plain C++, no Qt.
//
// Converters are opened by location ID only (as the USB link opens them).
// Reads never wait: they return what waits, whatever the time-outs say. A
// write waits until the driver took every byte, the converter is gone or
// PurgeComm(PURGE_TXABORT) ends it.
//
// Threads: one thread may wait for events and read while another writes;
// SetCommMask from any thread ends a wait. PurgeComm, SetCommMask and the
// setting functions are safe at any time; CloseHandle only after the other
// threads stopped using the handle.
#pragma once

#include "usb/d2xx_api.h"

namespace quorvel {

// What FT_W32_GetLastError reports (the system's error numbers of the same
// meaning). For a failed FT_W32_CreateFile pass the invalid handle.
namespace d2xx_error {
constexpr d2xx::DWORD kNone = 0;
constexpr d2xx::DWORD kFileNotFound = 2;           // no converter at that location
constexpr d2xx::DWORD kAccessDenied = 5;           // no permission on the terminal
constexpr d2xx::DWORD kInvalidHandle = 6;          // not a handle of this provider
constexpr d2xx::DWORD kGeneralFailure = 31;        // the terminal refused an operation
constexpr d2xx::DWORD kSharingViolation = 32;      // another process holds the converter
constexpr d2xx::DWORD kNotSupported = 50;          // the device node is no terminal
constexpr d2xx::DWORD kInvalidParameter = 87;      // a setting the line cannot make
constexpr d2xx::DWORD kOperationAborted = 995;     // a write ended by PurgeComm
constexpr d2xx::DWORD kDeviceNotConnected = 1167;  // the converter is gone
}  // namespace d2xx_error

// The function table; every pointer is set.
d2xx::Functions BuiltInD2xxFunctions();

// The latency timer in effect on a handle of this provider in ms: 1 when it
// was lowered at open, the driver's value when it could not be (usually 16;
// 16 also when nothing could be read), -1 when the handle is not one of this
// provider's open handles.
int BuiltInLatencyTimerMs(d2xx::FT_HANDLE handle);

}  // namespace quorvel
