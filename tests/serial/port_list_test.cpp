// The system's port list: which sysfs terminals count as serial ports, the
// extra ports of the environment, the order and the names that occur twice.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/port_list.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

// A fake /sys/class/tty: name, whether it has a device link, its UART type
// (-1: no type file).
struct FakeTty {
  std::string name;
  bool device;
  int type;
};

class SerialPortScan : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("quorvel-tty-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void Make(const std::vector<FakeTty>& ttys) {
    for (const FakeTty& tty : ttys) {
      fs::create_directories(root_ / tty.name);
      if (tty.device) fs::create_directories(root_ / tty.name / "device");
      if (tty.type >= 0) std::ofstream(root_ / tty.name / "type") << tty.type << "\n";
    }
  }
  fs::path root_;
};

TEST_F(SerialPortScan, KeepsDevicePortsAndLegacyPortsWithAKnownUart) {
  Make({{"tty0", false, -1},
        {"console", false, -1},
        {"ptmx", false, -1},
        {"ttyS0", true, 4},
        {"ttyS1", true, 0},
        {"ttyS2", true, -1},
        {"ttyUSB0", true, -1},
        {"ttyACM1", true, -1}});
  const PortScan scan = ScanPorts(root_.string(), "");
  EXPECT_EQ(SortPortNames(scan.names),
            (std::vector<std::string>{"ttyACM1", "ttyS0", "ttyS2", "ttyUSB0"}));
  EXPECT_EQ(scan.duplicates, "");
}

TEST_F(SerialPortScan, AddsExtraPortsAndFindsDuplicates) {
  Make({{"ttyUSB0", true, -1}});
  const PortScan scan =
      ScanPorts(root_.string(), "/tmp/vcom1::ttyusb0:/tmp/vcom1:/tmp/VCOM1:ttyUSB0:");
  EXPECT_EQ(scan.names, (std::vector<std::string>{"ttyUSB0", "/tmp/vcom1", "ttyusb0", "/tmp/vcom1",
                                                  "/tmp/VCOM1", "ttyUSB0"}));
  // Each name once. A port is its exact path: names that differ in letter
  // case only are two ports, neither of them doubled.
  EXPECT_EQ(scan.duplicates, "</tmp/vcom1><ttyUSB0>");
  EXPECT_TRUE(NameListHas(scan.duplicates, "ttyUSB0"));
  EXPECT_FALSE(NameListHas(scan.duplicates, "TTYUSB0"));
  EXPECT_FALSE(NameListHas(scan.duplicates, "ttyusb0"));
  EXPECT_FALSE(NameListHas(scan.duplicates, "/tmp/VCOM1"));
  EXPECT_FALSE(NameListHas(scan.duplicates, "ttyUSB"));
}

// A network port's HOST:PORT holds colons: it stays one entry of the
// colon-separated list, beside the paths.
TEST(SerialPortList, NetworkPortNamesKeepTheirColons) {
  struct SplitCase {
    const char* list;
    std::vector<std::string> paths;
  };
  for (const SplitCase& c : {
           SplitCase{"/tmp/a:rfc2217://ds1:4001:/tmp/b",
                     {"/tmp/a", "rfc2217://ds1:4001", "/tmp/b"}},
           SplitCase{"tcp://10.0.0.7:7000", {"tcp://10.0.0.7:7000"}},
           SplitCase{"tcp://[fe80::1]:7000::/tmp/c", {"tcp://[fe80::1]:7000", "/tmp/c"}},
           // Cut short: what is there is one entry, which the run then
           // refuses with its reason.
           SplitCase{"tcp://host", {"tcp://host"}},
           SplitCase{"tcp://[::1", {"tcp://[::1"}},
           SplitCase{"/tmp/x:tcp://h:", {"/tmp/x", "tcp://h:"}},
       }) {
    EXPECT_EQ(SplitPortList(c.list), c.paths) << c.list;
  }
}

TEST(SerialPortOrder, SortsByPaddedKeyIgnoringCase) {
  struct Case {
    std::vector<std::string> names;
    std::vector<std::string> sorted;
  };
  const std::vector<Case> cases = {
      {{"COM1", "COM10", "COM3"}, {"COM1", "COM3", "COM10"}},
      {{"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0"}, {"ttyACM0", "ttyS0", "ttyUSB2", "ttyUSB10"}},
      {{"ttyusb1", "ttyUSB0"}, {"ttyUSB0", "ttyusb1"}},
      {{"COMB", "COMA", "COM2"}, {"COM2", "COMA", "COMB"}},
      {{}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(SortPortNames(c.names), c.sorted);
}

TEST(SerialPortOrder, PaddedKeyInsertsZerosBeforeTheFirstDigit) {
  EXPECT_EQ(PaddedPortKey("COM3", 5), "COM03");
  EXPECT_EQ(PaddedPortKey("COM10", 5), "COM10");
  EXPECT_EQ(PaddedPortKey("COMA", 6), "COMA00");
  EXPECT_EQ(PaddedPortKey("ttyS0", 3), "ttyS0");
}

}  // namespace
}  // namespace quorvel
