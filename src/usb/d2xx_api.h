// The FTDI D2XX driver interface as the USB link uses it: the types of the
// vendor's header on this platform and a table of function pointers. The
// table is filled once per process by a provider (the vendor's libftd2xx.so,
// or the built-in provider over the kernel's ftdi_sio devices); every pointer
// may be null and every caller tests it. Nothing here knows which provider
// filled the table.
#pragma once

#include <cstdint>

namespace quorvel::d2xx {

using DWORD = uint32_t;
using ULONG = uint32_t;
using WORD = uint16_t;
using BYTE = uint8_t;
using BOOL = int32_t;
using FT_STATUS = ULONG;
using FT_HANDLE = void*;

constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_INVALID_HANDLE = 1;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
constexpr FT_STATUS FT_IO_ERROR = 4;
constexpr FT_STATUS FT_INSUFFICIENT_RESOURCES = 5;
constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
constexpr FT_STATUS FT_OTHER_ERROR = 18;

// What FT_W32_CreateFile returns on failure.
inline FT_HANDLE InvalidHandle() {
  return reinterpret_cast<FT_HANDLE>(~uintptr_t{0});
}

// Node flags.
constexpr ULONG FT_FLAGS_OPENED = 1;

// Device type codes of a node (FT_DEVICE); the link keeps 0..9, 3 = unknown.
enum FtDeviceType : ULONG {
  FT_DEVICE_BM = 0,
  FT_DEVICE_AM = 1,
  FT_DEVICE_100AX = 2,
  FT_DEVICE_UNKNOWN = 3,
  FT_DEVICE_2232C = 4,
  FT_DEVICE_232R = 5,
  FT_DEVICE_2232H = 6,
  FT_DEVICE_4232H = 7,
  FT_DEVICE_232H = 8,
  FT_DEVICE_X_SERIES = 9,
};

struct FT_DEVICE_LIST_INFO_NODE {
  ULONG Flags;
  ULONG Type;
  ULONG ID;
  DWORD LocId;
  char SerialNumber[16];
  char Description[64];
  FT_HANDLE ftHandle;
};

// FT_W32_CreateFile.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;
constexpr DWORD FT_OPEN_BY_LOCATION = 4;
// Normal, overlapped, opened by location ID.
constexpr DWORD kOpenByLocationFlags = 0x40000084u;

// The device control block (28 bytes).
struct FTDCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD Flags;  // bit 0 binary mode, bit 14 abort on error
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  BYTE StopBits;  // 0 one, 1 one and a half, 2 two
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};
static_assert(sizeof(FTDCB) == 28);
constexpr DWORD kDcbBinaryAbortOnError = 0x4001;

struct FTTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};
static_assert(sizeof(FTTIMEOUTS) == 20);

struct FTCOMSTAT {
  DWORD Flags;
  DWORD cbInQue;
  DWORD cbOutQue;
};
static_assert(sizeof(FTCOMSTAT) == 12);

// Comm event mask bits.
constexpr ULONG EV_RXCHAR = 0x0001;
constexpr ULONG EV_BREAK = 0x0040;
constexpr ULONG EV_ERR = 0x0080;
constexpr ULONG kLinkEventMask = EV_RXCHAR | EV_ERR | EV_BREAK;  // 0xC1

// FT_W32_PurgeComm.
constexpr DWORD PURGE_TXABORT = 0x01;
constexpr DWORD PURGE_RXABORT = 0x02;
constexpr DWORD PURGE_TXCLEAR = 0x04;
constexpr DWORD PURGE_RXCLEAR = 0x08;

// Last error of an overlapped operation still running.
constexpr DWORD ERROR_IO_PENDING = 997;

// The overlapped block is opaque to the link: it never passes one (every
// call it makes completes before it returns; waits end through
// FT_W32_SetCommMask).
using LPOVERLAPPED = void*;

struct Functions {
  FT_STATUS (*FT_CreateDeviceInfoList)(DWORD* numDevs) = nullptr;
  FT_STATUS (*FT_GetDeviceInfoList)(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) = nullptr;
  FT_HANDLE (*FT_W32_CreateFile)
  (const char* name, DWORD access, DWORD shareMode, void* security, DWORD create,
   DWORD attrsAndFlags, void* templateFile) = nullptr;
  BOOL (*FT_W32_CloseHandle)(FT_HANDLE handle) = nullptr;
  BOOL (*FT_W32_ReadFile)
  (FT_HANDLE handle, void* buffer, DWORD size, DWORD* done, LPOVERLAPPED overlapped) = nullptr;
  BOOL (*FT_W32_WriteFile)
  (FT_HANDLE handle, void* buffer, DWORD size, DWORD* done, LPOVERLAPPED overlapped) = nullptr;
  BOOL (*FT_W32_GetOverlappedResult)
  (FT_HANDLE handle, LPOVERLAPPED overlapped, DWORD* done, BOOL wait) = nullptr;
  DWORD (*FT_W32_GetLastError)(FT_HANDLE handle) = nullptr;
  BOOL (*FT_W32_ClearCommBreak)(FT_HANDLE handle) = nullptr;
  BOOL (*FT_W32_ClearCommError)(FT_HANDLE handle, DWORD* errors, FTCOMSTAT* status) = nullptr;
  BOOL (*FT_W32_GetCommState)(FT_HANDLE handle, FTDCB* dcb) = nullptr;
  BOOL (*FT_W32_SetCommState)(FT_HANDLE handle, FTDCB* dcb) = nullptr;
  BOOL (*FT_W32_GetCommTimeouts)(FT_HANDLE handle, FTTIMEOUTS* timeouts) = nullptr;
  BOOL (*FT_W32_SetCommTimeouts)(FT_HANDLE handle, FTTIMEOUTS* timeouts) = nullptr;
  BOOL (*FT_W32_SetupComm)(FT_HANDLE handle, DWORD readSize, DWORD writeSize) = nullptr;
  BOOL (*FT_W32_SetCommMask)(FT_HANDLE handle, ULONG mask) = nullptr;
  // Blocks until an event of the mask happens, or until FT_W32_SetCommMask
  // is called on the handle from another thread (then *event is 0).
  BOOL (*FT_W32_WaitCommEvent)(FT_HANDLE handle, ULONG* event, LPOVERLAPPED overlapped) = nullptr;
  BOOL (*FT_W32_PurgeComm)(FT_HANDLE handle, DWORD mask) = nullptr;
};

}  // namespace quorvel::d2xx
