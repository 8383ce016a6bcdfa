// The device-type table, the device-code names and the main window's device
// list in display order.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorvel {

// The link of a device-type row: none (no device chosen), a serial port or
// an FTDI USB converter.
enum class TLinkKind : uint8_t { None = 0, Serial = 1, Usb = 2 };

struct TDevAvailData {
  std::string Name;
  uint16_t DevCode = 0;
  uint16_t Variant = 0;
  std::string OrderText;
  TLinkKind LinkKind = TLinkKind::None;
  uint8_t Rs485 = 0;
  uint8_t BaudIndex = 0;
  uint8_t ParityIndex = 0;
  uint8_t DataBitsIndex = 0;
  uint8_t StopBitsIndex = 0;
  uint8_t AppSwitch = 0;
  uint8_t RtsState = 0;
  uint8_t DtrState = 0;
  std::string MinAppVersion;
  std::string UsbNames;
  uint8_t AppAddrIdentify = 0;
  uint8_t AppAddrBoot = 0;
  std::vector<uint8_t> BootRequestData;

  bool operator==(const TDevAvailData&) const = default;
};

using TDevAvailArray = std::vector<TDevAvailData>;

constexpr size_t kDeviceTypeCount = 33;

// The 33 rows; row 0 (no device type) is named "-".
const std::array<TDevAvailData, kDeviceTypeCount>& DeviceTypes();

struct DeviceCodeName {
  int32_t Code;
  const char* Name;
};

// The 36 device codes with their model names, code 0 (empty name) first.
const std::array<DeviceCodeName, 36>& DeviceCodeNames();

// Model name of a device code; a negative code counts as 0. found is false
// for code 0 and for codes not in the table (both give the empty name).
std::string DeviceNameOf(int32_t code, bool& found);
std::string DeviceNameOf(int32_t code);

// "żaden" / "none" (by Language), "COM", "USB"; other kinds give "".
std::string LinkKindName(TLinkKind linkKind);

// Name of row 0 in the current Language: "Nieznane urządzenie" / "Unknown device".
std::string UnknownDeviceName();

// Every row of DeviceTypes in display order: row 0 first (named for the
// current Language), the others sorted by name, link kind and variant or
// order text, ignoring case.
TDevAvailArray BuildDeviceList();

// Sorts rows 1..n-1 of a list in place into display order (row 0 stays).
void SortDeviceRows(TDevAvailArray& list);

// The text each row of the list shows: its Name, with "_" + OrderText and
// " ." + link-kind name added where two rows share a name.
std::vector<std::string> DeviceDisplayTexts(const TDevAvailArray& list);

// Index of the row whose display text equals `text` ignoring case; -1 when none.
int FindDeviceByDisplayText(const TDevAvailArray& list, const std::string& text);

// --- Device rules: how the program talks to a device's user application.
// The engine, its reply handling and the simulated instrument all ask these;
// a new device type changes them here only.

// The device's user application answers identify and enter-bootloader
// requests (codes 2, 6 to 8, 10 to 23 and 25 to 36).
bool HasAppRequests(uint16_t devCode);

// The program talks to the row's user application: the row switches it on
// and the device has the requests.
bool AddressesApplication(const TDevAvailData& row);

// The device code whose rows may sit on an RS-485 bus (BTQ-20).
bool IsBusDeviceCode(uint16_t devCode);

// The row talks on an RS-485 bus: its requests and the answers carry the
// bus address.
bool IsRs485Bus(const TDevAvailData& row);

// Any answer of the user application to the enter-bootloader request means
// that it restarts into its bootloader. Not so for the bus device, whose
// answer counts only when it carries the run's own bus address.
bool EntersBootloaderOnAnswer(uint16_t devCode);

// The user application hands over two bytes at the start of its identify
// reply, which the enter-bootloader request must carry back in front of the
// row's access code (M-530).
bool HandsOverStartBytes(uint16_t devCode);
constexpr size_t kStartBytesCount = 2;

// Where the texts of the row's identify reply start (the model, the
// firmware version): after the bus address and its padding on an RS-485 bus,
// after the handed-over start bytes, otherwise right after the command byte.
size_t IdentifyTextOffset(const TDevAvailData& row);

// The data of the identify request: 0xFF 0xFF to a device that hands over
// start bytes, the bus address on an RS-485 bus (when there is one),
// otherwise none.
std::vector<uint8_t> IdentifyRequestData(const TDevAvailData& row,
                                         std::optional<uint16_t> busAddress);

// The data of the enter-bootloader request: the handed-over start bytes
// (devices that hand them over) and the row's access code; on an RS-485 bus
// the bus address and the access code. The bus device on a point-to-point
// line, or without a bus address, sends none.
std::vector<uint8_t> BootRequestData(const TDevAvailData& row, std::span<const uint8_t> startBytes,
                                     std::optional<uint16_t> busAddress);

}  // namespace quorvel
