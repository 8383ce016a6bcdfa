// A umockdev test bed with USB-to-serial converters described as
// umockdev-record would describe them: the USB device (vendor, product,
// bcdDevice, strings, bus number and port path), its interface, the
// usb-serial port (with its latency_timer attribute) and the tty whose /dev
// node umockdev backs with a pseudo-terminal. The test program runs with
// libumockdev-preload.so loaded, so that /sys and /dev are the bed's.
#pragma once

#include <fcntl.h>
#include <linux/serial.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

namespace quorvel::testing {

struct Converter {
  std::string tty = "ttyUSB0";
  unsigned bus = 3;
  std::string portPath = "1.4";  // the USB device is <bus>-<portPath>
  unsigned interfaceNumber = 0;
  std::string vendor = "0403";
  std::string productId = "6001";
  std::string bcdDevice = "0600";
  std::string product = "FT232R USB UART";
  std::string serial = "A10KZP4Q";
  std::string latencyTimer = "16";
  unsigned minor = 0;  // of the tty's device number (188:minor)
};

class UmockdevBed {
 public:
  UmockdevBed() : bed_(umockdev_testbed_new()), terminalIoctls_(umockdev_ioctl_base_new()) {
    g_signal_connect(terminalIoctls_, "handle-ioctl", G_CALLBACK(RunOnTheTerminal), this);
  }
  ~UmockdevBed() {
    g_object_unref(bed_);
    g_object_unref(terminalIoctls_);
  }
  UmockdevBed(const UmockdevBed&) = delete;
  UmockdevBed& operator=(const UmockdevBed&) = delete;

  UMockdevTestbed* Get() const { return bed_; }

  // The sysfs path of the converter's USB device, interface, port and tty.
  static std::string UsbPath(const Converter& c) {
    return "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(c.bus) + "/" +
           std::to_string(c.bus) + "-" + c.portPath;
  }
  static std::string InterfacePath(const Converter& c) {
    return UsbPath(c) + "/" + std::to_string(c.bus) + "-" + c.portPath + ":1." +
           std::to_string(c.interfaceNumber);
  }
  static std::string PortPath(const Converter& c) { return InterfacePath(c) + "/" + c.tty; }
  static std::string TtyPath(const Converter& c) { return PortPath(c) + "/tty/" + c.tty; }

  // Adds the converter (its USB device only once for several interfaces);
  // false when umockdev refused the description.
  bool Add(const Converter& c) {
    std::string text;
    auto device = [&text](const std::string& sysPath) {
      text += "P: " + sysPath.substr(4) + "\n";  // without "/sys"
    };
    if (!Exists(UsbPath(c))) {
      device(UsbPath(c));
      text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
      text += "A: idVendor=" + c.vendor + "\nA: idProduct=" + c.productId +
              "\nA: bcdDevice=" + c.bcdDevice + "\n";
      if (!c.product.empty()) text += "A: product=" + c.product + "\n";
      if (!c.serial.empty()) text += "A: serial=" + c.serial + "\n";
      text += "A: busnum=" + std::to_string(c.bus) + "\nA: devpath=" + c.portPath + "\n\n";
    }
    device(InterfacePath(c));
    text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=ftdi_sio\n";
    text += "A: bInterfaceNumber=0" + std::to_string(c.interfaceNumber) + "\n\n";
    device(PortPath(c));
    text += "E: SUBSYSTEM=usb-serial\nE: DRIVER=ftdi_sio\n";
    if (!c.latencyTimer.empty()) text += "A: latency_timer=" + c.latencyTimer + "\n";
    text += "\n";
    device(TtyPath(c));
    text += "N: " + c.tty + "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + c.tty + "\n";
    // The device number lets the bed take the /dev node away on removal.
    text += "A: dev=188:" + std::to_string(c.minor) + "\n";
    // The class entry's link to the device, as the kernel makes it.
    text += "L: device=../..\n\n";
    GError* error = nullptr;
    bool ok = umockdev_testbed_add_from_string(bed_, text.c_str(), &error);
    if (error != nullptr) g_error_free(error);
    error = nullptr;
    ok = ok &&
         umockdev_testbed_attach_ioctl(bed_, ("/dev/" + c.tty).c_str(), terminalIoctls_, &error);
    if (error != nullptr) g_error_free(error);
    return ok;
  }

  // A tty without any USB parent (a built-in UART).
  bool AddPlainTty(const std::string& tty, unsigned minor) {
    const std::string text = "P: /devices/platform/serial8250/tty/" + tty + "\nN: " + tty +
                             "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + tty +
                             "\nA: dev=4:" + std::to_string(minor) + "\nL: device=../..\n\n";
    GError* error = nullptr;
    const bool ok = umockdev_testbed_add_from_string(bed_, text.c_str(), &error);
    if (error != nullptr) g_error_free(error);
    return ok;
  }

  // The master side of the tty's pseudo-terminal (owned by the bed).
  int Master(const Converter& c) const {
    return umockdev_testbed_get_dev_fd(bed_, ("/dev/" + c.tty).c_str());
  }

  // The converter's cable is pulled: the kernel hangs up the terminal (its
  // pseudo-terminal master goes away here; the bed's descriptor is kept
  // valid on /dev/null for the bed to close later), tells of the removal
  // and takes the devices out of sysfs.
  void Unplug(const Converter& c) {
    const int master = Master(c);
    if (master >= 0) {
      // The bed keeps a map from the pseudo-terminal back to the node and
      // does not clear it on removal: the next terminal the system hands
      // out under the same name could not be added.
      if (const char* pty = ptsname(master)) {
        std::string mapped = pty;
        std::replace(mapped.begin(), mapped.end(), '/', '_');
        unlink(RootPath("/dev/.ptymap/" + mapped).c_str());
      }
      const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
      dup2(null, master);
      close(null);
    }
    umockdev_testbed_detach_ioctl(bed_, ("/dev/" + c.tty).c_str(), nullptr);
    umockdev_testbed_uevent(bed_, TtyPath(c).c_str(), "remove");
    umockdev_testbed_remove_device(bed_, TtyPath(c).c_str());
    umockdev_testbed_remove_device(bed_, PortPath(c).c_str());
    umockdev_testbed_remove_device(bed_, InterfacePath(c).c_str());
    umockdev_testbed_remove_device(bed_, UsbPath(c).c_str());
  }

  // The converters' line-error counters: a pseudo-terminal keeps none, the
  // bed answers for them (framing errors, the rest 0).
  void SetFramingErrors(uint32_t count) { framingErrors_ = count; }

  void SetAttribute(const std::string& sysPath, const char* name, const char* value) {
    umockdev_testbed_set_attribute(bed_, sysPath.c_str(), name, value);
  }

  // The path in the bed's directory of a /sys path.
  std::string RootPath(const std::string& path) const {
    gchar* root = umockdev_testbed_get_root_dir(bed_);
    std::string result = std::string(root) + path;
    g_free(root);
    return result;
  }

 private:
  // The bed hands every ioctl on its /dev nodes to an ioctl server, whose
  // own handler refuses the terminal ioctls (TCGETS2, FIONREAD, TCFLSH)
  // with ENOTTY. A tty node here is a real pseudo-terminal: each of its
  // ioctls is run on it by the calling process, except the line-error
  // counters, which the bed answers.
  static gboolean RunOnTheTerminal(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    if (umockdev_ioctl_client_get_request(client) == TIOCGICOUNT) {
      serial_icounter_struct counters{};
      counters.frame = static_cast<int>(static_cast<UmockdevBed*>(self)->framingErrors_.load());
      UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client),
                                                            0, sizeof counters, nullptr);
      if (data != nullptr) {
        umockdev_ioctl_data_update(data, 0, reinterpret_cast<guint8*>(&counters), sizeof counters);
        umockdev_ioctl_data_unref(data);
      }
      umockdev_ioctl_client_complete(client, data != nullptr ? 0 : -1,
                                     data != nullptr ? 0 : EFAULT);
      return TRUE;
    }
    gint error = 0;
    const gint result = umockdev_ioctl_client_execute(client, &error, nullptr);
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
  }

  bool Exists(const std::string& sysPath) const {
    return access(RootPath(sysPath + "/uevent").c_str(), F_OK) == 0;
  }

  UMockdevTestbed* bed_;
  UMockdevIoctlBase* terminalIoctls_;
  std::atomic<uint32_t> framingErrors_{0};
};

}  // namespace quorvel::testing
