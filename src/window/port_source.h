// Where the window's port list comes from: the serial ports of the serial
// link component, or the USB devices of the USB link component. The window
// only lists and selects; every run opens its own link component.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

class TComm32Kx;

// One entry of the port list: the key a run is given (a serial port's name,
// a USB device's location) and the text the list shows.
struct PortEntry {
  std::string key;
  std::string text;
  bool operator==(const PortEntry&) const = default;
};

class PortSource {
 public:
  virtual ~PortSource() = default;

  // The entries, entry 0 meaning no port or no device ("żaden" / "none").
  virtual std::vector<PortEntry> Entries() const = 0;

  // The names of the device type's devices (a USB row's UsbNames): a USB
  // source lists only devices whose description is among them. A serial
  // source lists every port whatever the names.
  virtual void SetExpectedNames(std::string_view /*names*/) {}

  // Whether the source takes network ports (rfc2217://..., tcp://...): the
  // port list then offers to add one.
  virtual bool TakesNetworkPorts() const { return false; }
  // The network ports the user added, listed after the source's own ports
  // (a name the source lists already is not listed twice).
  virtual void SetNetworkPorts(std::vector<std::string> /*names*/) {}

  // Set by the window: called on the main thread when Entries() may have
  // changed (a device was plugged in or removed).
  std::function<void()> OnListChange;

 protected:
  void ListChanged() {
    if (OnListChange) OnListChange();
  }
};

// The serial ports: PortList of a serial link component (its none-name
// first), which holds the network ports of QUORVEL_EXTRA_PORTS too, then the
// network ports added in the window. The component is the window's; it
// opens no port.
class SerialPortSource final : public PortSource {
 public:
  // language: the none-name's language.
  explicit SerialPortSource(uint8_t language);
  ~SerialPortSource() override;
  std::vector<PortEntry> Entries() const override;
  bool TakesNetworkPorts() const override { return true; }
  void SetNetworkPorts(std::vector<std::string> names) override;

 private:
  std::unique_ptr<TComm32Kx> comm_;
  std::vector<std::string> networkPorts_;
};

// The entries of a USB device list as the USB link component keeps it:
// "location=display text" per device, entry 0 meaning no device. An entry
// without "=" is its own key and text.
std::vector<PortEntry> EntriesOfDeviceList(const std::vector<std::string>& deviceList);

// A USB device list read through a function: the USB link component's
// DeviceList plugs in here, its device-list event calls Changed(), and the
// expected names go to its DevNameExpected:
//
//   auto source = std::make_unique<DeviceListPortSource>(
//       [usb] { return usb->DeviceList(); },
//       [usb](std::string_view names) { usb->SetDevNameExpected(std::string(names)); });
//   usb->OnDeviceListChange = [s = source.get()](auto*) { s->Changed(); };
//   form.SetUsbPortSource(std::move(source));
//
// Without a device list (no USB link component yet) it lists only the
// none entry.
class DeviceListPortSource final : public PortSource {
 public:
  using ListFn = std::function<std::vector<std::string>()>;
  using ExpectFn = std::function<void(std::string_view names)>;

  explicit DeviceListPortSource(ListFn deviceList = {}, ExpectFn expectNames = {});
  std::vector<PortEntry> Entries() const override;
  void SetExpectedNames(std::string_view names) override;
  // The device list changed.
  void Changed() { ListChanged(); }

 private:
  ListFn deviceList_;
  ExpectFn expectNames_;
};

}  // namespace quorvel
