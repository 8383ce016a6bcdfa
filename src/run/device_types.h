// The device-type table, the device-code names and the main window's device
// list in display order.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvel {

// Link kinds of a device-type row.
constexpr uint8_t kLinkNone = 0;
constexpr uint8_t kLinkSerial = 1;
constexpr uint8_t kLinkUsb = 2;

struct TDevAvailData {
  std::string Name;
  uint16_t DevCode = 0;
  uint16_t Variant = 0;
  std::string OrderText;
  uint8_t LinkKind = 0;
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
std::string LinkKindName(uint8_t linkKind);

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

}  // namespace quorvel
