#include "window/port_source.h"

#include <algorithm>

#include "app/globals.h"
#include "run/line_settings.h"
#include "serial/comm32kx.h"

namespace quorvel {

SerialPortSource::SerialPortSource(uint8_t language)
    : comm_(std::make_unique<TComm32Kx>(nullptr, language)) {
  comm_->OnPortListChange = [this](TComm32Kx*) { ListChanged(); };
}

SerialPortSource::~SerialPortSource() {
  comm_->OnPortListChange = nullptr;
}

std::vector<PortEntry> SerialPortSource::Entries() const {
  std::vector<PortEntry> entries;
  for (const std::string& name : comm_->PortList()) entries.push_back({name, name});
  if (entries.empty()) entries.push_back({comm_->NoneText(), comm_->NoneText()});
  for (const std::string& name : networkPorts_) {
    const bool listed = std::any_of(entries.begin() + 1, entries.end(),
                                    [&name](const PortEntry& entry) { return entry.key == name; });
    if (!listed) entries.push_back({name, name});
  }
  return entries;
}

void SerialPortSource::SetNetworkPorts(std::vector<std::string> names) {
  if (names == networkPorts_) return;
  networkPorts_ = std::move(names);
  ListChanged();
}

std::vector<PortEntry> EntriesOfDeviceList(const std::vector<std::string>& deviceList) {
  std::vector<PortEntry> entries;
  for (const std::string& item : deviceList) {
    const size_t split = item.find('=');
    if (split == std::string::npos) {
      entries.push_back({item, item});
    } else {
      entries.push_back({item.substr(0, split), item.substr(split + 1)});
    }
  }
  return entries;
}

DeviceListPortSource::DeviceListPortSource(ListFn deviceList, ExpectFn expectNames)
    : deviceList_(std::move(deviceList)), expectNames_(std::move(expectNames)) {}

std::vector<PortEntry> DeviceListPortSource::Entries() const {
  std::vector<PortEntry> entries;
  if (deviceList_) entries = EntriesOfDeviceList(deviceList_());
  // Entry 0 is always there, in the program's language.
  const std::string none(NoneText(Language));
  if (entries.empty()) {
    entries.push_back({none, none});
  } else {
    entries.front().text = none;
  }
  return entries;
}

void DeviceListPortSource::SetExpectedNames(std::string_view names) {
  if (expectNames_) expectNames_(names);
}

}  // namespace quorvel
