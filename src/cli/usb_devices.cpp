#include "cli/usb_devices.h"

#include <QEventLoop>
#include <QTimer>
#include <algorithm>

#include "app/globals.h"
#include "usb/device_list.h"
#include "usb/ftdi_usb.h"

namespace quorvel {

void WaitForDeviceLists(const std::vector<TFtdiUSB*>& components) {
  // Built with the properties set now: no rebuild left to run.
  const auto allBuilt = [&components] {
    return std::all_of(components.begin(), components.end(), [](const TFtdiUSB* usb) {
      return usb->DeviceListBuilt() && usb->PendingRebuilds() == 0;
    });
  };
  if (allBuilt()) return;
  QEventLoop loop;
  for (TFtdiUSB* usb : components) {
    usb->OnListBuilt = [&loop, allBuilt](TFtdiUSB*) {
      if (allBuilt()) loop.quit();
    };
  }
  QTimer::singleShot(kDeviceListWaitMs, &loop, &QEventLoop::quit);
  loop.exec();
  for (TFtdiUSB* usb : components) usb->OnListBuilt = nullptr;
}

std::vector<std::string> ListUsbDevices(const std::string& expectedNames, bool serviceMode) {
  TFtdiUSB usb(nullptr, Language);
  usb.SetDevNameExpected(expectedNames);
  usb.SetServiceMode(serviceMode);
  WaitForDeviceLists({&usb});
  std::vector<std::string> entries;
  for (const usb::DeviceEntry& entry : usb.DeviceList()) {
    if (!usb::IsNoneEntry(entry.text)) entries.push_back(entry.text);
  }
  return entries;
}

std::string FindUsbEntry(const std::vector<std::string>& entries, const std::string& port) {
  for (const std::string& entry : entries) {
    if (entry == port || usb::EntryName(entry) == port || usb::EntryDisplayText(entry) == port) {
      return entry;
    }
  }
  return {};
}

}  // namespace quorvel
