#include "run/monitor_messages.h"

#include <charconv>

namespace quorvel {

namespace {

std::optional<uint64_t> ParseHex(std::string_view text) {
  if (text.empty() || text.size() > 16) return std::nullopt;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return std::nullopt;
  }
  uint64_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

// Takes the keyword at the front of `rest` and the value up to the next
// "|" (or the end; the port name, last, may hold "|" itself).
bool TakeItem(std::string_view& rest, std::string_view keyword, std::string_view& value,
              bool last) {
  if (!rest.starts_with(keyword)) return false;
  rest.remove_prefix(keyword.size());
  const size_t bar = last ? std::string_view::npos : rest.find('|');
  value = rest.substr(0, bar);
  rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 1);
  return true;
}

}  // namespace

uint8_t MonitorLinkKind(TLinkKind kind) {
  return kind == TLinkKind::Usb ? 1 : 0;
}

std::vector<uint8_t> DevicePayload(TLinkKind kind, std::string_view port) {
  std::vector<uint8_t> payload;
  payload.reserve(port.size() + 2);
  payload.push_back(MonitorLinkKind(kind));
  payload.insert(payload.end(), port.begin(), port.end());
  payload.push_back(0);
  return payload;
}

std::optional<MonitorDevice> ParseDevicePayload(const std::vector<uint8_t>& payload) {
  if (payload.size() < 2 || payload[0] > 1 || payload.back() != 0) return std::nullopt;
  MonitorDevice device;
  device.linkKind = payload[0];
  device.port.assign(payload.begin() + 1, payload.end() - 1);
  if (device.port.find('\0') != std::string::npos) return std::nullopt;
  return device;
}

std::string MonitorTokenText(uint64_t token) {
  char text[17];
  const auto result = std::to_chars(text, text + sizeof text, token, 16);
  std::string hex(text, result.ptr);
  for (char& c : hex) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return hex;
}

std::string MonitorLaunchArgument(uint64_t token, TLinkKind kind, std::string_view port) {
  std::string argument = "ParentHandle" + MonitorTokenText(token);
  argument += "|Index" + MonitorTokenText(kMonitorIndex);
  argument += "|Parameters" + MonitorTokenText(kMonitorParameters);
  argument += "|Device";
  argument += static_cast<char>('0' + MonitorLinkKind(kind));
  argument += port;
  return argument;
}

std::optional<MonitorLaunch> ParseMonitorLaunchArgument(std::string_view argument) {
  // The optional keyword-only items come after the port name.
  for (const std::string_view tail : {"|SizeMax|ResponseAll", "|ResponseAll", "|SizeMax"}) {
    if (argument.ends_with(tail)) {
      argument.remove_suffix(tail.size());
      break;
    }
  }
  std::string_view rest = argument;
  std::string_view token, index, parameters, device;
  if (!TakeItem(rest, "ParentHandle", token, false) || !TakeItem(rest, "Index", index, false) ||
      !TakeItem(rest, "Parameters", parameters, false) || !TakeItem(rest, "Device", device, true)) {
    return std::nullopt;
  }
  const auto tokenValue = ParseHex(token);
  const auto indexValue = ParseHex(index);
  const auto parametersValue = ParseHex(parameters);
  if (!tokenValue || *tokenValue == 0 || !indexValue || *indexValue > UINT32_MAX ||
      !parametersValue || *parametersValue > UINT32_MAX || device.empty() ||
      (device[0] != '0' && device[0] != '1')) {
    return std::nullopt;
  }
  MonitorLaunch launch;
  launch.token = *tokenValue;
  launch.index = static_cast<uint32_t>(*indexValue);
  launch.parameters = static_cast<uint32_t>(*parametersValue);
  launch.device.linkKind = static_cast<uint8_t>(device[0] - '0');
  launch.device.port = std::string(device.substr(1));
  if (launch.device.port.find('\0') != std::string::npos) return std::nullopt;
  return launch;
}

}  // namespace quorvel
