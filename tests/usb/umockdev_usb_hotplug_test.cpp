// The USB link component following converters that come and go on a
// umockdev bed, through the built-in D2XX provider: a converter plugged in
// enters TFtdiUSB's device list (the component rebuilds its list on the
// port-list service's device notices: a udev monitor, or a rescan every
// 2 s where no udev daemon runs); the selected converter pulled out leaves
// the list, the device is closed and the selection falls back to "none",
// and no change notice goes to the other instances for it (nobody else can
// take a converter that is gone).
// GLib's headers (through umockdev's) name struct fields "signals", which
// Qt's keyword macros would rewrite: they come first.
#include "umockdev_bed.h"

#include <stdlib.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <optional>
#include <string>

#include "app/globals.h"
#include "link/link_base.h"
#include "usb/device_list.h"
#include "usb/ftdi_usb.h"
#include "usb/usb_instances.h"

namespace quorvel {
namespace {

using testing::Converter;
using testing::UmockdevBed;

// Lets the event loop run for ms (notices still on their way arrive).
void Settle(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

bool Lists(const TFtdiUSB& usb, const std::string& text) {
  return usb.FindEntry(text) > 0;
}

TEST(UsbLinkHotplugUnderUmockdev, PluggedConverterIsListedAndPulledSelectedOneFallsBackToNone) {
  UmockdevBed bed;
  // Another instance listening on the session bus; it counts the notices
  // about this test's converter (other tests may share the bus).
  int notices = 0;
  uint32_t watched = 0;
  UsbNoticeChannel listener([&notices, &watched](const std::string& bytes, bool readable) {
    if (!readable) return;
    const usb::ParsedNotice parsed = usb::ParseChangeNotice(bytes);
    const usb::ChangeNotice& notice = parsed.notice;
    if (watched != 0 && notice.expectedNames == "PAXL-20" &&
        (notice.released.location == watched || notice.taken.location == watched)) {
      ++notices;
    }
  });
  ASSERT_TRUE(listener.Connected()) << "the tests run in a session bus";

  TFtdiUSB usb(nullptr, Language);
  usb.SetDevNameExpected("PAXL-20");
  int listChanges = 0;
  usb.OnDeviceListChange = [&listChanges](TFtdiUSB*) { ++listChanges; };
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return usb.DeviceListBuilt() && usb.PendingRebuilds() == 0; }, 10000));
  ASSERT_EQ(usb.DeviceList().size(), 1u) << "only \"none\"";

  // A converter of the row is plugged in, and one of another kind.
  // A bus of this test process's own: other test processes on the same
  // session bus announce the locations of theirs.
  const unsigned bus = 1 + static_cast<unsigned>(getpid()) % 250;
  Converter converter;
  converter.bus = bus;
  converter.product = "PAXL-20";
  converter.serial = "A1";
  Converter foreign;
  foreign.bus = bus;
  foreign.tty = "ttyUSB1";
  foreign.minor = 1;
  foreign.portPath = "2";
  foreign.product = "FT232R USB UART";
  foreign.serial = "B2";
  const auto plugged = std::chrono::steady_clock::now();
  ASSERT_TRUE(bed.Add(converter));
  ASSERT_TRUE(bed.Add(foreign));
  umockdev_testbed_uevent(bed.Get(), UmockdevBed::TtyPath(converter).c_str(), "add");
  umockdev_testbed_uevent(bed.Get(), UmockdevBed::TtyPath(foreign).c_str(), "add");
  ASSERT_TRUE(QTest::qWaitFor([&] { return Lists(usb, "PAXL-20 A1") && listChanges > 0; }, 8000));
  std::printf("listed after %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - plugged)
                                         .count()));
  EXPECT_EQ(usb.DeviceList().size(), 2u) << "the other kind stays out of this row's list";
  EXPECT_FALSE(Lists(usb, "FT232R USB UART B2"));

  // Selected: opened, and the other instances are told.
  const int32_t entry = usb.FindEntry("PAXL-20 A1");
  const std::optional<uint32_t> location = usb::EntryLocation(usb.DeviceList()[entry].text);
  ASSERT_TRUE(location.has_value());
  watched = *location;
  usb.SetDeviceIndex(entry);
  ASSERT_TRUE(QTest::qWaitFor([&] { return usb.IsOpen(); }, 5000));
  EXPECT_EQ(usb.DeviceIndex(), entry);
  EXPECT_EQ(usb.LocationId(), watched);
  ASSERT_TRUE(QTest::qWaitFor([&] { return notices == 1; }, 5000)) << "the taking is announced";

  // Pulled out: the list falls back to "none", the device is closed.
  notices = 0;
  listChanges = 0;
  bed.Unplug(converter);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return !Lists(usb, "PAXL-20 A1") && !usb.IsOpen() && listChanges > 0; }, 8000));
  EXPECT_EQ(usb.DeviceIndex(), 0);
  EXPECT_EQ(usb.LocationId(), 0u);
  ASSERT_EQ(usb.DeviceList().size(), 1u);
  EXPECT_TRUE(usb::IsNoneEntry(usb.DeviceList()[0].text));
  // Whatever was on its way has arrived by now: a notice crosses the bus in
  // milliseconds, and a rescan comes within 2 s.
  Settle(2500);
  EXPECT_EQ(notices, 0) << "a converter that is gone is let go without a notice";
  EXPECT_EQ(usb.DeviceIndex(), 0);
  EXPECT_FALSE(usb.IsOpen());

  // Plugged in again (the kernel hands out another terminal; the bed keeps
  // the old name's node): listed again, not opened by itself.
  Converter again = converter;
  again.tty = "ttyUSB5";
  again.minor = 5;
  ASSERT_TRUE(bed.Add(again));
  umockdev_testbed_uevent(bed.Get(), UmockdevBed::TtyPath(again).c_str(), "add");
  ASSERT_TRUE(QTest::qWaitFor([&] { return Lists(usb, "PAXL-20 A1"); }, 8000));
  EXPECT_FALSE(usb.IsOpen());
  EXPECT_EQ(usb.DeviceIndex(), 0);
  EXPECT_EQ(notices, 0);
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
  setenv("QUORVEL_D2XX_LIBRARY", "builtin", 1);
  ::testing::InitGoogleTest(&argc, argv);
  quorvel::Language = 1;
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
