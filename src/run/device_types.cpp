#include "run/device_types.h"

#include <cstdio>
#include <utility>

#include "app/globals.h"
#include "app/text_utils.h"
#include "run/bus_frames.h"
#include "run/line_settings.h"

namespace quorvel {

namespace {

using Row = TDevAvailData;

// Fields in record order: Name, DevCode, Variant, OrderText, LinkKind, Rs485,
// BaudIndex, ParityIndex, DataBitsIndex, StopBitsIndex, AppSwitch, RtsState,
// DtrState, MinAppVersion, UsbNames, AppAddrIdentify, AppAddrBoot,
// BootRequestData.
// clang-format off
std::array<TDevAvailData, kDeviceTypeCount> MakeDeviceTypes() {
  return {{
      Row{"-", 0, 0, "", TLinkKind::None, 0, br009600, pbNone, dbEight, sbOne, 0, 0, 0, "", "", 0x01, 0x00, {}},  // 0
      Row{"KV-310", 1, 0, "", TLinkKind::Serial, 0, br009600, pbNone, dbEight, sbOne, 0, 0, 0, "", "", 0x01, 0x00, {}},  // 1
      Row{"TRP-40", 2, 0, "", TLinkKind::Usb, 0, br115200, pbNone, dbEight, sbOne, 1, 0, 0, "2.2.0021", "TRP-40", 0x01, 0x66, {'Z', 'E', 'W', 'K', 'A', 'R', 'I', 0x00}},  // 2
      Row{"TRP-40", 2, 1, "", TLinkKind::Serial, 0, br038400, pbNone, dbEight, sbOne, 1, 0, 0, "2.2.0021", "", 0x01, 0x66, {'Z', 'E', 'W', 'K', 'A', 'R', 'I', 0x00}},  // 3
      Row{"HOX-27", 3, 0, "", TLinkKind::Serial, 0, br009600, pbNone, dbEight, sbOne, 1, 0, 0, "", "", 0x01, 0x00, {}},  // 4
      Row{"M-530", 6, 0, "", TLinkKind::Serial, 0, br009600, pbNone, dbEight, sbOne, 1, 1, 0, "", "", 0x01, 0x66, {0x3C, 0x95}},  // 5
      Row{"GRV-30x", 7, 0, "", TLinkKind::Serial, 0, br038400, pbNone, dbEight, sbOne, 1, 0, 0, "1.4.0012", "", 0x01, 0x66, {0x5B, 0x27}},  // 6
      Row{"GRV-301S", 8, 0, "", TLinkKind::Serial, 0, br038400, pbNone, dbEight, sbOne, 1, 0, 0, "", "", 0x01, 0x66, {0x5B, 0x27}},  // 7
      Row{"SKE-150", 10, 0, "", TLinkKind::Serial, 0, br038400, pbNone, dbEight, sbOne, 1, 0, 0, "", "", 0x01, 0x66, {0x5B, 0x27}},  // 8
      Row{"BTQ-20 .RS232", 11, 0, "", TLinkKind::Serial, 0, br009600, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "", 0x01, 0x66, {0x5B, 0x27}},  // 9
      Row{"BTQ-20 .RS485", 11, 0, "", TLinkKind::Serial, 1, br009600, pbNone, dbEight, sbOne, 1, 0, 0, "1.1.0001", "", 0x01, 0x66, {0x5B, 0x27}},  // 10
      Row{"RZ-303", 12, 0, "", TLinkKind::Serial, 0, br038400, pbNone, dbEight, sbOne, 1, 0, 0, "1.6.0001", "", 0x01, 0x66, {0x5B, 0x27}},  // 11
      Row{"WEN-20", 13, 0, "", TLinkKind::Serial, 0, br038400, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "", 0x01, 0x66, {0x5B, 0x27}},  // 12
      Row{"PAXL-20", 14, 0, "", TLinkKind::Usb, 0, br038400, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "PAXL-20", 0x01, 0x66, {0x5B, 0x27}},  // 13
      Row{"KMB-EQ 60A", 34, 0, "", TLinkKind::Usb, 0, br038400, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "KMB-EQ 60A", 0x01, 0x66, {0x5B, 0x27}},  // 14
      Row{"FES-20", 18, 0, "", TLinkKind::Usb, 0, br125000, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "WX-310C|KMB-RSVI", 0x01, 0x66, {}},  // 15
      Row{"KMB-RSV 140 Sensor", 32, 0, "", TLinkKind::Usb, 0, br125000, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "WX-310C|KMB-RSVI", 0x01, 0x66, {}},  // 16
      Row{"M-310", 19, 0, "", TLinkKind::Usb, 0, br125000, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "WX-310C|KMB-RSVI", 0x01, 0x66, {}},  // 17
      Row{"KMB-RSV 240 Sensor", 33, 0, "", TLinkKind::Usb, 0, br125000, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "WX-310C|KMB-RSVI", 0x01, 0x66, {}},  // 18
      Row{"M-320", 20, 0, "", TLinkKind::Usb, 0, br125000, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "WX-310C|KMB-RSVI", 0x01, 0x66, {}},  // 19
      Row{"M-330", 21, 0, "", TLinkKind::Usb, 0, br125000, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "WX-310C|KMB-RSVI", 0x01, 0x66, {}},  // 20
      Row{"Y-310", 24, 0, "", TLinkKind::Usb, 0, br125000, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "WX-310C|KMB-RSVI", 0x01, 0x66, {}},  // 21
      Row{"H-310", 22, 0, "", TLinkKind::Serial, 0, br038400, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "H-310", 0x01, 0x66, {}},  // 22
      Row{"KMB-RSV Series", 35, 0, "", TLinkKind::Serial, 0, br038400, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "KMB-RSV", 0x01, 0x66, {}},  // 23
      Row{"J-20", 23, 0, "", TLinkKind::Usb, 0, br038400, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "J-20", 0x01, 0x66, {}},  // 24
      Row{"NOV-3 Driver", 25, 0, "", TLinkKind::Serial, 0, br038400, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "", 0x01, 0x66, {0x5B, 0x27}},  // 25
      Row{"TRP-140", 26, 0, "", TLinkKind::Serial, 0, br038400, pbNone, dbEight, sbOne, 1, 0, 0, "", "", 0x01, 0x66, {}},  // 26
      Row{"QEX-3TKP", 27, 0, "", TLinkKind::Usb, 0, br125000, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "WX-310C|KMB-RSVI", 0x01, 0x66, {}},  // 27
      Row{"BAR", 28, 0, "PCB3.0", TLinkKind::Usb, 0, br009600, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "BAR-C|USB-LNK", 0x01, 0x66, {}},  // 28
      Row{"M-66", 29, 0, "PCB1.12", TLinkKind::Serial, 0, br038400, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "", 0x01, 0x66, {}},  // 29
      Row{"OTO-KR", 30, 0, "", TLinkKind::Usb, 0, br009600, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "BAR-C|USB-LNK", 0x01, 0x5F, {}},  // 30
      Row{"OTO-ZN", 31, 0, "", TLinkKind::Usb, 0, br009600, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "BAR-C|USB-LNK", 0x01, 0x5F, {}},  // 31
      Row{"D.QEA-310", 36, 0, "", TLinkKind::Usb, 0, br125000, pbNone, dbEight, sbOne, 1, 0, 0, "1.0.0000", "WX-310C|KMB-RSVI", 0x01, 0x66, {}},  // 32
  }};
}
// clang-format on

constexpr std::array<DeviceCodeName, 36> kDeviceCodeNames = {{
    {0, ""},
    {1, "KV-310"},
    {2, "TRP-40"},
    {3, "HOX-27"},
    {4, "NB-150"},
    {5, "TRP-140_old"},
    {6, "M-530"},
    {7, "GRV-30x"},
    {8, "GRV-301S"},
    {10, "SKE-150"},
    {11, "BTQ-20"},
    {12, "RZ-303"},
    {13, "WEN-20"},
    {14, "PAXL-20"},
    {15, "CUVA-20"},
    {16, "CUVE-20"},
    {17, "CUVI-20"},
    {18, "FES-20"},
    {19, "M-310"},
    {20, "M-320"},
    {21, "M-330"},
    {22, "H-310"},
    {23, "J-20"},
    {24, "Y-310"},
    {25, "NOV-3"},
    {26, "TRP-140"},
    {27, "QEX-3TKP"},
    {28, "BAR"},
    {29, "M-66"},
    {30, "OTO-KR"},
    {31, "OTO-ZN"},
    {32, "KMB-RSV 140 Sensor"},
    {33, "KMB-RSV 240 Sensor"},
    {34, "KMB-EQ 60A"},
    {35, "KMB-RSV"},
    {36, "D.QEA-310"},
}};

constexpr TextPair kNoLinkName{"żaden", "none"};
constexpr TextPair kUnknownDeviceName{"Nieznane urządzenie", "Unknown device"};

std::string VariantHex(uint16_t variant) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(variant));
  return text;
}

// The ordering key of `row` when compared with `other`: the variant stands in
// for the order text only when neither row has one, so the key depends on
// the pair.
std::string OrderKey(const TDevAvailData& row, const TDevAvailData& other) {
  std::string key = row.Name + LinkKindName(row.LinkKind);
  if (row.OrderText.empty() && other.OrderText.empty()) {
    key += VariantHex(row.Variant);
  } else {
    key += row.OrderText;
  }
  return key;
}

}  // namespace

const std::array<TDevAvailData, kDeviceTypeCount>& DeviceTypes() {
  static const std::array<TDevAvailData, kDeviceTypeCount> table = MakeDeviceTypes();
  return table;
}

const std::array<DeviceCodeName, 36>& DeviceCodeNames() {
  return kDeviceCodeNames;
}

std::string DeviceNameOf(int32_t code, bool& found) {
  if (code < 0) code = 0;
  for (size_t i = 0; i < kDeviceCodeNames.size(); ++i) {
    if (kDeviceCodeNames[i].Code == code) {
      found = i != 0;
      return kDeviceCodeNames[i].Name;
    }
  }
  found = false;
  return kDeviceCodeNames[0].Name;
}

std::string DeviceNameOf(int32_t code) {
  bool found = false;
  return DeviceNameOf(code, found);
}

std::string LinkKindName(TLinkKind linkKind) {
  switch (linkKind) {
    case TLinkKind::None:
      return kNoLinkName.str();
    case TLinkKind::Serial:
      return "COM";
    case TLinkKind::Usb:
      return "USB";
  }
  return "";
}

std::string UnknownDeviceName() {
  return kUnknownDeviceName.str();
}

void SortDeviceRows(TDevAvailArray& list) {
  // A plain exchange sort: the key depends on the pair compared, so the
  // result is defined by this exact order of comparisons.
  for (size_t i = 1; i < list.size(); ++i) {
    for (size_t j = i + 1; j < list.size(); ++j) {
      if (CompareTextNoCase(OrderKey(list[j], list[i]), OrderKey(list[i], list[j])) < 0) {
        std::swap(list[i], list[j]);
      }
    }
  }
}

TDevAvailArray BuildDeviceList() {
  const auto& table = DeviceTypes();
  TDevAvailArray list(table.begin(), table.end());
  list[0].Name = UnknownDeviceName();
  SortDeviceRows(list);
  return list;
}

std::vector<std::string> DeviceDisplayTexts(const TDevAvailArray& list) {
  std::vector<std::string> texts;
  texts.reserve(list.size());
  for (const auto& row : list) texts.push_back(row.Name);
  auto decorated = [](const TDevAvailData& row, bool orderDiffers, bool linkDiffers) {
    std::string text = row.Name;
    if (orderDiffers) text += "_" + row.OrderText;
    if (linkDiffers) text += " ." + LinkKindName(row.LinkKind);
    return text;
  };
  for (size_t i = 1; i < list.size(); ++i) {
    for (size_t j = i + 1; j < list.size(); ++j) {
      if (!SameTextNoCase(list[i].Name, list[j].Name)) continue;
      const bool orderDiffers = list[i].OrderText != list[j].OrderText;
      const bool linkDiffers = list[i].LinkKind != list[j].LinkKind;
      texts[i] = decorated(list[i], orderDiffers, linkDiffers);
      texts[j] = decorated(list[j], orderDiffers, linkDiffers);
    }
  }
  return texts;
}

bool HasAppRequests(uint16_t devCode) {
  return devCode == 2 || (devCode >= 6 && devCode <= 8) || (devCode >= 10 && devCode <= 23) ||
         (devCode >= 25 && devCode <= 36);
}

bool AddressesApplication(const TDevAvailData& row) {
  return row.AppSwitch == 1 && HasAppRequests(row.DevCode);
}

bool IsBusDeviceCode(uint16_t devCode) {
  return devCode == 11;
}

bool IsRs485Bus(const TDevAvailData& row) {
  return IsBusDeviceCode(row.DevCode) && row.Rs485 == 1;
}

bool EntersBootloaderOnAnswer(uint16_t devCode) {
  return HasAppRequests(devCode) && !IsBusDeviceCode(devCode);
}

bool HandsOverStartBytes(uint16_t devCode) {
  return devCode == 6;
}

size_t IdentifyTextOffset(const TDevAvailData& row) {
  constexpr size_t kDataOffset = 5;
  constexpr size_t kBusTextOffset = 10;
  if (IsRs485Bus(row)) return kBusTextOffset;
  if (HandsOverStartBytes(row.DevCode)) return kDataOffset + kStartBytesCount;
  return kDataOffset;
}

std::vector<uint8_t> IdentifyRequestData(const TDevAvailData& row,
                                         std::optional<uint16_t> busAddress) {
  std::vector<uint8_t> data;
  if (HandsOverStartBytes(row.DevCode)) {
    data.assign(kStartBytesCount, 0xFF);
  } else if (IsRs485Bus(row) && busAddress) {
    AppendWireU16(data, *busAddress);
  }
  return data;
}

std::vector<uint8_t> BootRequestData(const TDevAvailData& row, std::span<const uint8_t> startBytes,
                                     std::optional<uint16_t> busAddress) {
  std::vector<uint8_t> data;
  if (IsBusDeviceCode(row.DevCode)) {
    if (!IsRs485Bus(row) || !busAddress) return data;
    AppendWireU16(data, *busAddress);
  } else if (HandsOverStartBytes(row.DevCode)) {
    data.assign(startBytes.begin(), startBytes.end());
  }
  data.insert(data.end(), row.BootRequestData.begin(), row.BootRequestData.end());
  return data;
}

int FindDeviceByDisplayText(const TDevAvailArray& list, const std::string& text) {
  const std::vector<std::string> texts = DeviceDisplayTexts(list);
  for (size_t i = 0; i < texts.size(); ++i) {
    if (SameTextNoCase(texts[i], text)) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace quorvel
