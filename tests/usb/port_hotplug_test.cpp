// The serial link's port list follows converters that come and go: a
// converter added to the umockdev bed (its sysfs devices and an "add"
// uevent) enters the list of PortListService, and leaves it when it is
// unplugged (a "remove" uevent and its devices gone). The service watches
// udev where a udev daemon runs and rescans otherwise; either way the
// subscribers hear of both changes.
// GLib's headers (through umockdev's) name struct fields "signals", which
// Qt's keyword macros would rewrite: they come first.
#include "umockdev_bed.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <algorithm>
#include <chrono>

#include "serial/port_list_service.h"

namespace quorvel {
namespace {

using testing::Converter;
using testing::UmockdevBed;

bool Listed(const std::string& name) {
  const auto& ports = PortListService::Instance().Ports();
  return std::find(ports.begin(), ports.end(), name) != ports.end();
}

TEST(PortHotplugUnderUmockdev, ConverterPluggedInAndOutReachesTheSubscribers) {
  UmockdevBed bed;
  PortListService& service = PortListService::Instance();
  int notices = 0;
  const auto id = service.Subscribe({[&notices] { ++notices; }, {}});
  service.Refresh();
  ASSERT_FALSE(Listed("ttyUSB0"));
  notices = 0;
  // The bed hands its uevents to the service's udev monitor.
  EXPECT_TRUE(service.WatchesUdev());

  Converter converter;
  const auto plugged = std::chrono::steady_clock::now();
  ASSERT_TRUE(bed.Add(converter));
  umockdev_testbed_uevent(bed.Get(), UmockdevBed::TtyPath(converter).c_str(), "add");
  ASSERT_TRUE(QTest::qWaitFor([&] { return Listed("ttyUSB0") && notices > 0; }, 6000));
  std::printf("listed after %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - plugged)
                                         .count()));
  EXPECT_TRUE(service.ListedFor("ttyUSB0").has_value()) << "a port of the system, not an extra one";

  notices = 0;
  bed.Unplug(converter);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Listed("ttyUSB0") && notices > 0; }, 6000));
  EXPECT_FALSE(service.ListedFor("ttyUSB0").has_value());
  service.Unsubscribe(id);
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
