#include "cli/listings_json.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

#include "datafile/utilities.h"
#include "run/line_settings.h"
#include "net/network_port.h"
#include "serial/serial_port_io.h"
#include "usb/d2xx_library.h"
#include "usb/device_list.h"
#include "usb/udev_ftdi.h"

namespace quorvel {
namespace {

// The words --parity takes, whatever the language: a script reads them.
constexpr const char* kParityWords[] = {"none", "odd", "even", "mark", "space"};

QJsonValue Text(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QJsonValue TextOrNull(const std::optional<std::string>& text) {
  return text ? Text(*text) : QJsonValue(QJsonValue::Null);
}

// A fixed-size text field of the driver, which need not end with a zero.
std::string FieldText(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

void Print(const QJsonDocument& document) {
  const QByteArray json = document.toJson(QJsonDocument::Indented);
  std::fwrite(json.constData(), 1, static_cast<size_t>(json.size()), stdout);
  std::fflush(stdout);
}

// What the driver reports of each converter, by location.
struct ConverterDetails {
  std::string description;
  std::string serialNumber;
};

std::map<uint32_t, ConverterDetails> ConvertersByLocation() {
  std::map<uint32_t, ConverterDetails> byLocation;
  const d2xx::Functions& fn = D2xx().fn;
  if (fn.FT_CreateDeviceInfoList == nullptr || fn.FT_GetDeviceInfoList == nullptr) {
    return byLocation;
  }
  d2xx::DWORD count = 0;
  if (fn.FT_CreateDeviceInfoList(&count) != d2xx::FT_OK || count == 0 ||
      count > usb::kMaxDeviceNodes) {
    return byLocation;
  }
  std::vector<d2xx::FT_DEVICE_LIST_INFO_NODE> nodes(count);
  d2xx::DWORD filled = count;
  if (fn.FT_GetDeviceInfoList(nodes.data(), &filled) != d2xx::FT_OK) return byLocation;
  nodes.resize(std::min(filled, count));
  for (const d2xx::FT_DEVICE_LIST_INFO_NODE& node : nodes) {
    byLocation.try_emplace(
        node.LocId, ConverterDetails{FieldText(node.Description, sizeof node.Description),
                                     FieldText(node.SerialNumber, sizeof node.SerialNumber)});
  }
  return byLocation;
}

}  // namespace

void PrintDevicesJson(const TDevAvailArray& list) {
  const std::vector<std::string> texts = DeviceDisplayTexts(list);
  QJsonArray devices;
  for (size_t i = 1; i < list.size(); ++i) {
    const TDevAvailData& row = list[i];
    QJsonArray usbNames;
    if (!row.UsbNames.empty()) {
      for (const std::string& name : usb::SplitExpectedNames(row.UsbNames)) {
        usbNames.append(Text(name));
      }
    }
    QJsonObject device;
    device["text"] = Text(texts[i]);
    device["name"] = Text(row.Name);
    device["device_code"] = row.DevCode;
    device["variant"] = row.Variant;
    device["link"] = row.LinkKind == TLinkKind::Usb ? "usb" : "serial";
    device["rs485"] = IsRs485Bus(row);
    device["baud"] = static_cast<qint64>(BaudRateValue(row.BaudIndex));
    device["parity"] = row.ParityIndex < std::size(kParityWords) ? kParityWords[row.ParityIndex]
                                                                 : QJsonValue(QJsonValue::Null);
    device["data_bits"] = Text(DataBitsText(row.DataBitsIndex)).toString().toInt();
    device["stop_bits"] = Text(StopBitsText(row.StopBitsIndex)).toString().toDouble();
    device["user_application"] = AddressesApplication(row);
    device["min_app_version"] =
        row.MinAppVersion.empty() ? QJsonValue(QJsonValue::Null) : Text(row.MinAppVersion);
    device["usb_names"] = usbNames;
    devices.append(device);
  }
  Print(QJsonDocument(devices));
}

void PrintSerialPortsJson(const std::vector<std::string>& ports) {
  const std::vector<FtdiTtyDevice> converters = EnumerateFtdiTtys();
  QJsonArray list;
  for (const std::string& port : ports) {
    const std::string path = PortDevicePath(port);
    const FtdiTtyDevice* converter = nullptr;
    for (const FtdiTtyDevice& device : converters) {
      if (device.DevNode == path) converter = &device;
    }
    // A port on a network is reached through its device server, not a
    // device file.
    const bool network = IsNetworkPortName(port);
    QJsonObject entry;
    entry["kind"] = network ? "network" : "serial";
    entry["port"] = Text(port);
    entry["port_bytes"] = QString::fromLatin1(QByteArray::fromStdString(port).toHex());
    const QJsonValue none(QJsonValue::Null);
    entry["path"] = network ? none : Text(path);
    entry["description"] = converter ? Text(converter->Description) : none;
    entry["serial_number"] = converter ? Text(converter->SerialNumber) : none;
    entry["location"] = converter ? QJsonValue(static_cast<qint64>(converter->LocId)) : none;
    list.append(entry);
  }
  Print(QJsonDocument(list));
}

void PrintUsbConvertersJson(const std::vector<std::string>& entries) {
  const std::map<uint32_t, ConverterDetails> details = ConvertersByLocation();
  QJsonArray list;
  for (const std::string& text : entries) {
    const std::optional<uint32_t> location = usb::EntryLocation(text);
    const auto found = location ? details.find(*location) : details.end();
    const bool known = found != details.end();
    QJsonObject entry;
    entry["kind"] = "usb";
    entry["port"] = Text(usb::EntryDisplayText(text));
    entry["entry"] = Text(text);
    entry["location"] =
        location ? QJsonValue(static_cast<qint64>(*location)) : QJsonValue(QJsonValue::Null);
    entry["description"] =
        TextOrNull(known ? std::optional<std::string>(found->second.description) : std::nullopt);
    entry["serial_number"] =
        TextOrNull(known ? std::optional<std::string>(found->second.serialNumber) : std::nullopt);
    list.append(entry);
  }
  Print(QJsonDocument(list));
}

void PrintDataFileJson(const std::string& fileName, const DataFileContents& file) {
  const FirmwareImage& image = file.Image;
  const bool encoded = file.Result == DataFileResult::EncodedFileLoaded;
  const QJsonValue none(QJsonValue::Null);
  bool named = false;
  const std::string name = DeviceNameOf(file.DevCode, named);
  QJsonObject info;
  info["file"] = Text(fileName);
  info["kind"] = encoded ? "qvl" : "hex";
  info["device_code"] = encoded ? QJsonValue(file.DevCode) : none;
  info["device_name"] = encoded && named ? Text(name) : none;
  info["variant"] = encoded ? QJsonValue(file.Variant) : none;
  info["version"] = encoded ? Text(file.FormatVersion) : none;
  info["start"] = static_cast<qint64>(image.ImageStart);
  info["size"] = static_cast<qint64>(image.ImageSize());
  info["crc"] = CalcCRC16(image.ImageData.data(), image.ImageSize(), 0xFFFF);
  // Only a file whose own check passed is read at all (a .qvl file's image
  // CRC, every checksum of a HEX file's records).
  info["crc_check"] = "ok";
  Print(QJsonDocument(info));
}

}  // namespace quorvel
