// What the program and its port-buffer monitor (the `vantor` program) say
// to each other on the session bus: the message names, the launch argument
// and the port payload. Each message is a signal of the interface below,
// named by the message, whose first argument is the sender token (a random
// number per main window, given to the monitor on its command line and
// echoed in every message: each window talks to its own monitor only, and
// no other program can speak for it).
//
//   to the monitor, sent to its bus name:   DEVICE(token, payload)
//                                            SHOW(token), CLOSE(token)
//                                            DATAREC(token, bytes)
//                                            DATASEND(token, bytes)
//   from the monitor, broadcast:            RETOPEN(token), RETCLOSE(token)
//
// The monitor's bus name (the sender of its RETOPEN) stands for its window.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run/device_types.h"

namespace quorvel {

constexpr std::string_view kMonitorInterface = "pl.varneld.Quorvel";
constexpr std::string_view kMonitorPath = "/pl/varneld/Quorvel/Monitor";

// The seventeen names; those the program neither sends nor handles are
// part of the set all the same.
constexpr std::string_view kMsgParam = "VARNELD_SpyBuf_WM_COM_PARAM";
constexpr std::string_view kMsgDevice = "VARNELD_SpyBuf_WM_COM_DEVICE";
constexpr std::string_view kMsgShow = "VARNELD_SpyBuf_WM_COM_SHOW";
constexpr std::string_view kMsgHide = "VARNELD_SpyBuf_WM_COM_HIDE";
constexpr std::string_view kMsgClose = "VARNELD_SpyBuf_WM_COM_CLOSE";
constexpr std::string_view kMsgRetOpen = "VARNELD_SpyBuf_WM_COM_RETOPEN";
constexpr std::string_view kMsgRetParam = "VARNELD_SpyBuf_WM_COM_RETPARAM";
constexpr std::string_view kMsgRetDevice = "VARNELD_SpyBuf_WM_COM_RETDEVICE";
constexpr std::string_view kMsgRetShow = "VARNELD_SpyBuf_WM_COM_RETSHOW";
constexpr std::string_view kMsgRetHide = "VARNELD_SpyBuf_WM_COM_RETHIDE";
constexpr std::string_view kMsgRetClose = "VARNELD_SpyBuf_WM_COM_RETCLOSE";
constexpr std::string_view kMsgDataRec = "VARNELD_SpyBuf_WM_COM_DATAREC";
constexpr std::string_view kMsgDataFrame = "VARNELD_SpyBuf_WM_COM_DATAFRAME";
constexpr std::string_view kMsgDataSend = "VARNELD_SpyBuf_WM_COM_DATASEND";
constexpr std::string_view kMsgRetDataRec = "VARNELD_SpyBuf_WM_COM_RETDATAREC";
constexpr std::string_view kMsgRetDataFrame = "VARNELD_SpyBuf_WM_COM_RETDATAFRAME";
constexpr std::string_view kMsgRetDataSend = "VARNELD_SpyBuf_WM_COM_RETDATASEND";

constexpr uint32_t kMonitorIndex = 0;
constexpr uint32_t kMonitorParameters = 0x01010133;
// The program file of the monitor, beside the program's own (then $PATH).
constexpr std::string_view kMonitorProgram = "vantor";

// The link-kind byte of the port payload and the launch argument: 1 for a
// USB device type, 0 for every other (a serial one, or none).
uint8_t MonitorLinkKind(TLinkKind kind);

// DEVICE's payload: the link-kind byte, the port name, a zero byte.
std::vector<uint8_t> DevicePayload(TLinkKind kind, std::string_view port);

struct MonitorDevice {
  uint8_t linkKind = 0;
  std::string port;
};
// Reads a DEVICE payload; nullopt when it is not one (too short, a kind
// other than 0 or 1, no zero byte at the end or one inside the name).
std::optional<MonitorDevice> ParseDevicePayload(const std::vector<uint8_t>& payload);

// The monitor's one argument:
// ParentHandle<token>|Index0|Parameters1010133|Device<kind digit><port>.
// The token is a number, in upper-case hexadecimal without leading zeros.
std::string MonitorLaunchArgument(uint64_t token, TLinkKind kind, std::string_view port);

struct MonitorLaunch {
  uint64_t token = 0;
  uint32_t index = 0;
  uint32_t parameters = 0;
  MonitorDevice device;
};
// Reads the launch argument (optional keyword-only items after Device
// included); nullopt when it is not one.
std::optional<MonitorLaunch> ParseMonitorLaunchArgument(std::string_view argument);

// The token as the messages carry it: the same upper-case hexadecimal.
std::string MonitorTokenText(uint64_t token);

}  // namespace quorvel
