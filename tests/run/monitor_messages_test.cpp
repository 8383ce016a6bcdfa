#include "run/monitor_messages.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(MonitorMessages, DevicePayloadCarriesKindNameAndZero) {
  EXPECT_EQ(DevicePayload(TLinkKind::Usb, "FT232R01"),
            (Bytes{1, 'F', 'T', '2', '3', '2', 'R', '0', '1', 0}));
  EXPECT_EQ(DevicePayload(TLinkKind::Serial, "/dev/ttyS0").size(), 12u);
  // The "unknown device" row has no link: it is announced as a serial one.
  EXPECT_EQ(DevicePayload(TLinkKind::None, ""), (Bytes{0, 0}));
  for (const TLinkKind kind : {TLinkKind::None, TLinkKind::Serial, TLinkKind::Usb}) {
    const auto back = ParseDevicePayload(DevicePayload(kind, "ttyUSB0"));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->linkKind, MonitorLinkKind(kind));
    EXPECT_EQ(back->port, "ttyUSB0");
  }
  const Bytes malformed[] = {{}, {0}, {2, 'a', 0}, {0, 'a'}, {1, 'a', 0, 'b', 0}};
  for (const Bytes& payload : malformed) EXPECT_FALSE(ParseDevicePayload(payload).has_value());
}

TEST(MonitorMessages, LaunchArgumentReadsBack) {
  EXPECT_EQ(MonitorLaunchArgument(0x1A2B, TLinkKind::Serial, "/dev/ttyS2"),
            "ParentHandle1A2B|Index0|Parameters1010133|Device0/dev/ttyS2");
  const auto launch =
      ParseMonitorLaunchArgument(MonitorLaunchArgument(0xFEDCBA9876543210u, TLinkKind::Usb, "a|b"));
  ASSERT_TRUE(launch.has_value());
  EXPECT_EQ(launch->token, 0xFEDCBA9876543210u);
  EXPECT_EQ(launch->index, 0u);
  EXPECT_EQ(launch->parameters, kMonitorParameters);
  EXPECT_EQ(launch->device.linkKind, 1);
  EXPECT_EQ(launch->device.port, "a|b") << "the port name is the last item and may hold a bar";
  const auto withFlags =
      ParseMonitorLaunchArgument("ParentHandle5|Index0|Parameters1010133|Device1X|SizeMax|ResponseAll");
  ASSERT_TRUE(withFlags.has_value());
  EXPECT_EQ(withFlags->device.port, "X");
  const char* malformed[] = {
      "",
      "ParentHandle|Index0|Parameters1010133|Device0x",
      "ParentHandle0|Index0|Parameters1010133|Device0x",   // no window
      "ParentHandle1a|Index0|Parameters1010133|Device0x",  // lower case
      "ParentHandle1|Index0|Parameters1010133|Device2x",
      "ParentHandle1|Index0|Parameters1010133|Device",
      "ParentHandle1|Parameters1010133|Device0x",
      "ParentHandle11111111111111111|Index0|Parameters1010133|Device0x",
      "ParentHandle1|Index100000000|Parameters1010133|Device0x",
  };
  for (const char* argument : malformed) {
    EXPECT_FALSE(ParseMonitorLaunchArgument(argument).has_value()) << argument;
  }
}

}  // namespace
}  // namespace quorvel
